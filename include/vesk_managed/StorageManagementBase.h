// StorageManagementBase: the managed facade a desktop user interface holds. It owns one native
// StorageManagement, keeps observable collections of controllers, arrays, volumes and drives, and
// brings them in line with the native topology by a diff: at population, on a polling refresh
// (UpdateAll*, SynchronizeStorageData, ClearUpdatesData), and by itself on controller arrival and
// removal (HandlePnpEvent). It also carries every management operation.
//
// Thread safety: the facade is used from one user-interface thread, except HandlePnpEvent, which
// runs on a notification thread and holds the I/O semaphore while it refreshes the controllers.
// The user interface holds the same semaphore (GetIoSemaphore) around its own population, refresh
// and operation calls. Native failures reach the caller as NativeVeskException,
// NativeTaluException or NativeException.
//
// Handlers: the collection and property notifications are raised while a member runs. A handler
// that throws ends neither that member's bookkeeping nor its other elements: the member completes,
// then its first handler failure reaches its caller unchanged (for a notification-driven refresh:
// the debugger output). A handler may Dispose the facade, also on the notification thread; the
// member stops raising, the disposal completes when it returns. A handler must not destroy the
// facade object itself.
//
// Lifetime: Dispose (or destruction) waits for a notification-driven refresh in flight, lets no
// new one start, then destroys the native facade. From then on every member that needs the native
// facade or the working collections throws System::ObjectDisposedException; the managed
// collections and the I/O semaphore stay as they are and usable, and a managed Controller keeps
// the native record its RAID-level descriptors read from for as long as it lives.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "vesk/Records.h"
#include "vesk/StorageManagement.h"
#include "vesk_managed/Array.h"
#include "vesk_managed/Callback.h"
#include "vesk_managed/Controller.h"
#include "vesk_managed/Drive.h"
#include "vesk_managed/Guid.h"
#include "vesk_managed/NativeExceptions.h"
#include "vesk_managed/ObservableConcurrentDictionary.h"
#include "vesk_managed/SemaphoreSlim.h"
#include "vesk_managed/Shared.h"
#include "vesk_managed/VeskManaged.h"
#include "vesk_managed/Volume.h"

namespace VESK_Managed {

class StorageManagementBase : public VeskManaged<Vesk::StorageManagement> {
 public:
  using ControllerDictionary =
      Components::ObservableConcurrentDictionary<std::uint16_t, std::shared_ptr<Controller>>;
  using ArrayDictionary = Components::ObservableConcurrentDictionary<Guid, std::shared_ptr<Array>>;
  using VolumeDictionary =
      Components::ObservableConcurrentDictionary<Guid, std::shared_ptr<Volume>>;
  using DriveDictionary = Components::ObservableConcurrentDictionary<Guid, std::shared_ptr<Drive>>;

  // Creates the native facade and hands it the notification hook; populates nothing.
  StorageManagementBase();
  ~StorageManagementBase() override;
  using VeskManaged::Dispose;

  // --- Observable collections. Controllers are keyed by PCI device identifier; controllers that
  // share one share a managed Controller.
  std::unordered_map<Guid, std::uint16_t>& ControllerGuidToDeviceId() {
    return controllerGuidToDeviceId;
  }
  ControllerDictionary& Controllers() { return controllers; }
  ArrayDictionary& Arrays() { return arrays; }
  VolumeDictionary& Volumes() { return volumes; }
  DriveDictionary& Drives() { return drives; }

  System::Threading::SemaphoreSlim& GetIoSemaphore() { return ioSemaphore; }

  // --- Population: controllers first, then the arrays, volumes and drives of every controller.
  // Stops at the first native failure; what was added before stays. A volume whose RAID level has
  // no number gets no managed object and is reported on the debugger output, here and in a diff;
  // the volumes after it are added all the same.
  void SetAllControllersInfo();
  void SetAllArraysInfo();
  void SetAllVolumesInfo();
  void SetAllDrivesInfo();
  // Fill `target` with the records of every current controller.
  void SetAllArraysInfo(Vesk::ArrayMap& target);
  void SetAllVolumesInfo(Vesk::VolumeMap& target);
  void SetAllDrivesInfo(Vesk::DriveMap& target);

  // --- Polling refresh: the four UpdateAll members read fresh records into the working
  // collections, SynchronizeStorageData diffs them into the managed collections (raising the
  // collection and property notifications), ClearUpdatesData releases what is left.
  // UpdateAllControllers first finds the controllers present and diffs them into Controllers, as
  // a notification-driven refresh would have, when this facade may have missed a change: after
  // such a refresh failed, when a controller's device handle heard of its removal, and after an
  // UpdateAll member failed because a device had gone (that member's failure still reaches the
  // caller). A controller found again under another driver is replaced by a new managed
  // Controller, in a polling refresh as in a notification-driven one.
  void UpdateAllControllers();
  void UpdateAllArrays();
  void UpdateAllVolumes();
  void UpdateAllDrives();
  void SynchronizeStorageData();
  void ClearUpdatesData();

  // Controller arrival or removal: refreshes the controllers under the I/O semaphore.
  // System::ObjectDisposedException once disposal has begun, also while it waits.
  void HandlePnpEvent();

  // --- Management operations. Each returns 0 when it returns at all (the driver's refusals are
  // NativeVeskException); CreateVolume also returns 257 for a name that is too long. A controller
  // that is no longer present fails with NativeTaluException before anything is sent.
  virtual vesk_status ActivateDriveLed(const Controller& controller, const Guid& driveId,
                                       bool enable);
  virtual vesk_status ClearDriveMetadata(const Controller& controller, const Guid& driveId);
  virtual vesk_status DisableWriteCacheOnDrive(const Controller& controller, const Guid& driveId);
  vesk_status EnableWriteCacheOnDrive(const Controller& controller, const Guid& driveId);
  vesk_status SetWriteCacheOnDrive(const Controller& controller, const Guid& driveId, bool enabled);
  virtual vesk_status MarkDriveAsNormal(const Controller& controller, const Guid& driveId);
  virtual vesk_status MarkDriveAsSpare(const Controller& controller, const Guid& driveId);
  virtual vesk_status UnmarkSpareDrive(const Controller& controller, const Guid& driveId);
  virtual vesk_status RemoveDrive(const Controller& controller, const Guid& driveId);
  virtual vesk_status ResetSmartEvent(const Controller& controller, const Guid& driveId);
  virtual vesk_status AddDrivesToArray(const Controller& controller, const Guid& arrayId,
                                       std::span<const Guid> selectedDriveGuids);
  virtual vesk_status SetArrayCachePolicy(const Controller& controller, const Guid& arrayId,
                                          bool enabled);
  // (257, Guid::Empty()) without sending anything when the name has more than
  // Volume::MaxNameLength characters.
  virtual std::pair<vesk_status, Guid> CreateVolume(
      const Controller& controller, std::span<const Guid> selectedDriveGuids,
      const std::wstring& volumeName, vesk_strip_size stripSize, vesk_raid_level raidLevel,
      std::uint64_t size, bool initialize, bool keepExistingData, vesk_rwh_policy rwhPolicy,
      const Guid& keepExistingDriveId, const Guid& journalingDriveId);
  virtual vesk_status DeleteVolume(const Controller& controller, const Guid& volumeId);
  virtual vesk_status ExpandVolume(const Controller& controller, const Guid& volumeId,
                                   std::uint64_t newSize);
  virtual vesk_status InitializeVolume(const Controller& controller, const Guid& volumeId);
  virtual vesk_status InitializeVolumeFromManagedGuid(const Controller& controller,
                                                      const Guid& volumeId);
  virtual vesk_status MarkVolumeAsNormal(const Controller& controller, const Guid& volumeId);
  virtual vesk_status RebuildVolume(const Controller& controller, const Guid& volumeId,
                                    std::span<const Guid> selectedDriveGuids);
  // The name goes to the driver in the ANSI code page; the native layer keeps 16 characters.
  virtual vesk_status RenameVolume(const Controller& controller, const Guid& volumeId,
                                   const std::wstring& newName);
  virtual vesk_status ChangeRaidLayout(const Controller& controller, const Guid& volumeId,
                                       vesk_strip_size stripSize, vesk_raid_level raidLevel,
                                       std::span<const Guid> selectedDriveGuids);
  virtual vesk_status SetVolumeCachePolicy(const Controller& controller, const Guid& volumeId,
                                           vesk_volume_cache_policy cachePolicy);
  virtual vesk_status SetVolumeCachePolicyFromManagedGuid(const Controller& controller,
                                                          const Guid& volumeId,
                                                          vesk_volume_cache_policy cachePolicy);
  // An empty journalingDriveId sends the all-zero identifier.
  virtual vesk_status SetVolumeRaidWriteHolePolicy(const Controller& controller,
                                                   const Guid& volumeId, vesk_rwh_policy rwhPolicy,
                                                   const Guid& journalingDriveId);
  virtual vesk_status VerifyVolume(const Controller& controller, const Guid& volumeId, bool repair);
  virtual vesk_status CancelVerifyVolume(const Controller& controller, const Guid& volumeId);
  virtual vesk_status SetControllerReadPatrolPolicy(const Controller& controller, bool enabled);
  virtual vesk_status SetControllerRohiPolicy(const Controller& controller, bool enabled);

 protected:
  void Dispose(bool disposing) override;

  // The working collections of a polling refresh. Protected so that a subclass can stage fresh
  // records by hand (the diff tests do).
  Vesk::Controllers& UpdatedControllers() { return *updatedControllers; }
  Vesk::ArrayMap& UpdatedArrays() { return *updatedArrays; }
  Vesk::VolumeMap& UpdatedVolumes() { return *updatedVolumes; }
  Vesk::DriveMap& UpdatedDrives() { return *updatedDrives; }

 private:
  class RefreshScope;

  // The native facade, for the public members; System::ObjectDisposedException once Dispose has
  // been called. Inside a refresh that a handler disposes, the refresh keeps using GetInstance.
  Vesk::StorageManagement& Native();
  void ThrowIfDisposed() { Native(); }
  // The entry point handed to the native facade: HandlePnpEvent, whose failures go to the
  // debugger output since nobody is there to catch them.
  void OnPnpNotification();
  // Discovers the present controllers and diffs them into Controllers.
  void RefreshControllers(bool translateFailures);
  // True while this thread runs a member that raises notifications (RefreshScope).
  bool RefreshingHere() const;
  void ReleaseWorkingRecords();
  void CompleteDisposal(bool disposingManaged);

  // The diff of a working map into a current map (both ordered by identifier).
  template <typename Dictionary, typename Record>
  void UpdateCollection(Dictionary& managedCollectionToUpdate,
                        std::map<Vesk::vesk_guid, Record*>& updatedCollection,
                        std::map<Vesk::vesk_guid, Record*>& nativeCollectionToUpdate);
  template <typename Record>
  void AddNewElement(std::map<Vesk::vesk_guid, Record*>& baseCollection,
                     typename std::map<Vesk::vesk_guid, Record*>::iterator updatedIterator);
  // Adds a managed object for every record of a current collection (population).
  template <typename Record>
  void AddEach(std::map<Vesk::vesk_guid, Record*>& records);
  template <typename Record>
  void RemoveExistingElement(std::map<Vesk::vesk_guid, Record*>& baseCollection,
                             typename std::map<Vesk::vesk_guid, Record*>::iterator currentIterator);

  void AddElement(Vesk::Controller* record) { AddController(record); }
  void AddElement(Vesk::Array* record) { AddArray(record); }
  void AddElement(Vesk::Volume* record) { AddVolume(record); }
  void AddElement(Vesk::Drive* record) { AddDrive(record); }
  // The record is out of the current collection; what is still owned here is released after.
  void RemoveElement(std::unique_ptr<Vesk::Controller>& record) { RemoveController(record); }
  void RemoveElement(std::unique_ptr<Vesk::Array>& record) { RemoveArray(record.get()); }
  void RemoveElement(std::unique_ptr<Vesk::Volume>& record) { RemoveVolume(record.get()); }
  void RemoveElement(std::unique_ptr<Vesk::Drive>& record) { RemoveDrive(record.get()); }

  void AddController(Vesk::Controller* record);
  void AddArray(const Vesk::Array* record);
  void AddVolume(const Vesk::Volume* record);
  void AddDrive(const Vesk::Drive* record);
  // Hands the record to the managed Controller built from it (which reads it) before the removal
  // is raised.
  void RemoveController(std::unique_ptr<Vesk::Controller>& record);
  void RemoveArray(const Vesk::Array* record);
  void RemoveVolume(const Vesk::Volume* record);
  void RemoveDrive(const Vesk::Drive* record);

  // The native record of a present controller with the managed controller's device identifier.
  const Vesk::Controller& GetNativeController(const Controller& controller);
  // What an operation hands to its native call. A refresh may drop the record or give it a new
  // device while the call runs (the semaphore keeps a refresh out only if the user interface
  // holds it), so the call gets a share of the device, or a copy of the record, kept by the
  // caller's full expression for as long as the native call in it runs.
  std::shared_ptr<const Vesk::DeviceHandle> GetControllerDeviceHandle(const Controller& controller);
  std::unique_ptr<Vesk::Controller> CopyNativeController(const Controller& controller);

  // Moves the native records that managed Controllers read from out of the native collection
  // into those Controllers, before the native facade frees its records.
  void HandOverControllerRecords();

  System::Threading::SemaphoreSlim ioSemaphore{1, 1};
  std::atomic<bool> disposed{false};
  // Dispose came from a handler of a member running on that thread; the member completes it.
  std::atomic<bool> disposalDeferred{false};
  // A notification-driven refresh failed before its diff, or a polling refresh met a device that
  // had gone: the snapshot may hold controllers that are gone, so the next UpdateAllControllers
  // rediscovers first.
  std::atomic<bool> controllerRefreshOwed{false};
  // OnPnpNotification calls running, so that every Dispose can wait for them.
  std::mutex notificationGuard;
  std::condition_variable notificationsIdle;
  int notificationsRunning = 0;
  // Destroys the native facade when a handler on its own notification thread disposed it: its
  // destructor waits for that thread. Joined by Dispose and the destructor.
  std::thread reaper;
  std::unique_ptr<System::Runtime::InteropServices::CallbackBinding> pnpCallback;
  Vesk::StorageManagement::PnpCallback pnpCallbackStub = nullptr;
  std::unique_ptr<Vesk::Controllers> updatedControllers = std::make_unique<Vesk::Controllers>();
  std::unique_ptr<Vesk::ArrayMap> updatedArrays = std::make_unique<Vesk::ArrayMap>();
  std::unique_ptr<Vesk::VolumeMap> updatedVolumes = std::make_unique<Vesk::VolumeMap>();
  std::unique_ptr<Vesk::DriveMap> updatedDrives = std::make_unique<Vesk::DriveMap>();

  // Whether every managed array, volume or drive is as an Update from its current record would
  // leave it, as of the dictionary's version when a diff last made it so. While that holds, an
  // element whose fresh record equals its current one byte for byte has nothing to update.
  struct InLine {
    bool known = false;
    std::uint64_t version = 0;
  };
  InLine* InLineOf(ControllerDictionary&) { return nullptr; }
  InLine* InLineOf(ArrayDictionary&) { return &arraysInLine; }
  InLine* InLineOf(VolumeDictionary&) { return &volumesInLine; }
  InLine* InLineOf(DriveDictionary&) { return &drivesInLine; }
  InLine arraysInLine;
  InLine volumesInLine;
  InLine drivesInLine;

  std::unordered_map<Guid, std::uint16_t> controllerGuidToDeviceId;
  ControllerDictionary controllers;
  ArrayDictionary arrays;
  VolumeDictionary volumes;
  DriveDictionary drives;
};

}  // namespace VESK_Managed
