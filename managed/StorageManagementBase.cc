#include "vesk_managed/StorageManagementBase.h"

#include <chrono>

#include "managed/Translation.h"
#include "platform/win32.h"

namespace VESK_Managed {

using detail::Translate;

namespace {

// The managed key of an element found in both maps of a diff.
std::uint16_t ManagedKey(const Vesk::Controller& record) { return record.deviceId; }
template <typename Record>
Guid ManagedKey(const Record& record) {
  return Guid(record.id);
}

void DebugLine(const wchar_t* text) { ::OutputDebugStringW(text); }

// Releases the semaphore on every way out of a scope.
class SemaphoreHold {
 public:
  explicit SemaphoreHold(System::Threading::SemaphoreSlim& semaphore) : semaphore(semaphore) {}
  ~SemaphoreHold() { semaphore.Release(); }
  SemaphoreHold(const SemaphoreHold&) = delete;
  SemaphoreHold& operator=(const SemaphoreHold&) = delete;

 private:
  System::Threading::SemaphoreSlim& semaphore;
};

}  // namespace

StorageManagementBase::StorageManagementBase() {
  // A failure from here on destroys the native facade again through the base's destructor.
  pnpCallback = std::make_unique<System::Runtime::InteropServices::CallbackBinding>(
      [this] { HandlePnpEvent(); });
  pnpCallbackStub = pnpCallback->Get();
  GetInstance().SetPnpCallback(pnpCallbackStub);
}

StorageManagementBase::~StorageManagementBase() { Dispose(true); }

Vesk::StorageManagement& StorageManagementBase::Native() {
  if (IsInvalid()) throw System::Exception("Cannot access a disposed object.");
  return GetInstance();
}

// --- Population -------------------------------------------------------------------------------

void StorageManagementBase::SetAllControllersInfo() {
  Translate([&] { Native().SetControllers(); });
  for (auto& [id, record] : Native().GetControllers().GetControllersById()) AddController(record);
}

void StorageManagementBase::SetAllArraysInfo() {
  SetAllArraysInfo(Native().GetArrays());
  for (auto& [id, record] : Native().GetArrays()) AddArray(record);
}

void StorageManagementBase::SetAllVolumesInfo() {
  SetAllVolumesInfo(Native().GetVolumes());
  for (auto& [id, record] : Native().GetVolumes()) AddVolume(record);
}

void StorageManagementBase::SetAllDrivesInfo() {
  SetAllDrivesInfo(Native().GetDrives());
  for (auto& [id, record] : Native().GetDrives()) AddDrive(record);
}

void StorageManagementBase::SetAllArraysInfo(Vesk::ArrayMap& target) {
  Translate([&] {
    for (auto& [id, controller] : Native().GetControllers().GetControllersById()) {
      Native().SetArrays(*controller, target);
    }
  });
}

void StorageManagementBase::SetAllVolumesInfo(Vesk::VolumeMap& target) {
  Translate([&] {
    for (auto& [id, controller] : Native().GetControllers().GetControllersById()) {
      Native().SetVolumes(*controller, target);
    }
  });
}

void StorageManagementBase::SetAllDrivesInfo(Vesk::DriveMap& target) {
  Translate([&] {
    for (auto& [id, controller] : Native().GetControllers().GetControllersById()) {
      Native().SetDrives(*controller, target);
    }
  });
}

// --- Polling refresh ----------------------------------------------------------------------------

void StorageManagementBase::UpdateAllControllers() {
  auto& fresh = updatedControllers->GetControllersById();
  for (const auto& entry : Native().GetControllers().GetControllersById()) {
    const Vesk::vesk_guid id = entry.first;
    const Vesk::Controller* record = entry.second;
    auto controller =
        Translate([&] { return Native().GetSingleController(record->GetDeviceHandle(), id); });
    // A record staged by an earlier UpdateAllControllers is replaced, not leaked.
    delete std::exchange(fresh[id], controller.release());
  }
}

void StorageManagementBase::UpdateAllArrays() {
  Translate([&] {
    for (auto& [id, controller] : Native().GetControllers().GetControllersById()) {
      Native().SetArrays(*controller, *updatedArrays);
    }
  });
}

void StorageManagementBase::UpdateAllVolumes() {
  Translate([&] {
    for (auto& [id, controller] : Native().GetControllers().GetControllersById()) {
      Native().SetVolumes(*controller, *updatedVolumes);
    }
  });
}

void StorageManagementBase::UpdateAllDrives() {
  Translate([&] {
    for (auto& [id, controller] : Native().GetControllers().GetControllersById()) {
      Native().SetDrives(*controller, *updatedDrives);
    }
  });
}

void StorageManagementBase::SynchronizeStorageData() {
  Vesk::StorageManagement& native = Native();
  UpdateCollection(controllers, updatedControllers->GetControllersById(),
                   native.GetControllers().GetControllersById());
  UpdateCollection(arrays, *updatedArrays, native.GetArrays());
  UpdateCollection(volumes, *updatedVolumes, native.GetVolumes());
  UpdateCollection(drives, *updatedDrives, native.GetDrives());
}

void StorageManagementBase::ClearUpdatesData() {
  // Entries whose record moved into a current collection hold null by now.
  Vesk::ClearMap(updatedControllers->GetControllersById(), *updatedArrays, *updatedVolumes,
                 *updatedDrives);
  updatedControllers->clear();
}

// --- Notification-driven refresh ------------------------------------------------------------

void StorageManagementBase::HandlePnpEvent() {
  // Waits in slices so that a disposal that begins meanwhile is noticed instead of waiting for
  // a user interface that may itself be disposing the facade under the semaphore.
  while (!ioSemaphore.Wait(std::chrono::milliseconds(20))) {
    if (disposing) return;
  }
  SemaphoreHold hold(ioSemaphore);
  if (disposing) return;

  Vesk::Controllers present;
  struct ReleaseLeftovers {
    Vesk::Controllers& container;
    // The records of controllers that were known already; the new ones moved out.
    ~ReleaseLeftovers() { Vesk::ClearMap(container.GetControllersById()); }
  } releaseLeftovers{present};

  Native().SetControllers(present);
  UpdateCollection(controllers, present.GetControllersById(),
                   Native().GetControllers().GetControllersById());
}

// --- The diff -------------------------------------------------------------------------------

template <typename Dictionary, typename Record>
void StorageManagementBase::UpdateCollection(
    Dictionary& managedCollectionToUpdate, std::map<Vesk::vesk_guid, Record*>& updatedCollection,
    std::map<Vesk::vesk_guid, Record*>& nativeCollectionToUpdate) {
  auto u = updatedCollection.begin();
  auto c = nativeCollectionToUpdate.begin();
  while (u != updatedCollection.end() && c != nativeCollectionToUpdate.end()) {
    if (u->first < c->first) {
      AddNewElement(nativeCollectionToUpdate, u++);
    } else if (c->first < u->first) {
      RemoveExistingElement(nativeCollectionToUpdate, c++);
    } else {
      // An element without a managed object (a type the facade does not know) is skipped.
      if (const Record* fresh = u->second) {
        typename Dictionary::mapped_type managed;
        if (managedCollectionToUpdate.TryGetValue(ManagedKey(*fresh), managed)) {
          managed->Update(*fresh);
        }
      }
      ++u;
      ++c;
    }
  }
  while (u != updatedCollection.end()) AddNewElement(nativeCollectionToUpdate, u++);
  while (c != nativeCollectionToUpdate.end()) RemoveExistingElement(nativeCollectionToUpdate, c++);
}

template <typename Record>
void StorageManagementBase::AddNewElement(
    std::map<Vesk::vesk_guid, Record*>& baseCollection,
    typename std::map<Vesk::vesk_guid, Record*>::iterator updatedIterator) {
  // A working entry whose record already moved (a working map diffed twice) has nothing to add.
  if (updatedIterator->second == nullptr) return;
  Record*& current = baseCollection[updatedIterator->first];
  std::swap(current, updatedIterator->second);
  AddElement(current);
  DebugLine(L"A new element has been added.\n");
}

template <typename Record>
void StorageManagementBase::RemoveExistingElement(
    std::map<Vesk::vesk_guid, Record*>& baseCollection,
    typename std::map<Vesk::vesk_guid, Record*>::iterator currentIterator) {
  Record* record = currentIterator->second;
  const bool handedOver = RemoveElement(record);
  baseCollection.erase(currentIterator);
  if (!handedOver) delete record;
  DebugLine(L"An element has been removed.\n");
}

// --- Adding and removing managed elements ----------------------------------------------------

void StorageManagementBase::AddController(Vesk::Controller* record) {
  std::shared_ptr<Controller> controller;
  switch (record->type) {
    case Vesk::VESK_CONTROLLER_SATA:
      controller = std::make_shared<SataController>(*record);
      break;
    case Vesk::VESK_CONTROLLER_DORN:
      controller = std::make_shared<DornController>(*record);
      break;
    default:
      DebugLine(L"Controller of unknown type retrieved for addition.\n");
      return;
  }
  controllerGuidToDeviceId.try_emplace(controller->Id(), controller->DeviceId());
  if (!controllers.ContainsKey(controller->DeviceId())) {
    controllers.Add(controller->DeviceId(), controller);
  }
  // Operations find controllers by device identifier, also those that arrive after population.
  Native().GetControllers().GetControllersByDeviceId().try_emplace(record->deviceId, record);
}

void StorageManagementBase::AddArray(const Vesk::Array* record) {
  auto array = std::make_shared<Array>(*record);
  if (!arrays.ContainsKey(array->Id())) arrays.Add(array->Id(), array);
}

void StorageManagementBase::AddVolume(const Vesk::Volume* record) {
  auto volume = std::make_shared<Volume>(*record);
  if (!volumes.ContainsKey(volume->Id())) volumes.Add(volume->Id(), volume);
}

void StorageManagementBase::AddDrive(const Vesk::Drive* record) {
  std::shared_ptr<Drive> drive;
  switch (record->type) {
    case Vesk::VESK_DRIVE_SATA_OPTICAL:
      drive = std::make_shared<SataOpticalDrive>(*record);
      break;
    case Vesk::VESK_DRIVE_SATA_DISK:
      drive = std::make_shared<SataDrive>(*record);
      break;
    case Vesk::VESK_DRIVE_NVME:
      drive = std::make_shared<DornDrive>(*record);
      break;
    default:
      DebugLine(L"Drive of unknown type retrieved for addition.\n");
      return;
  }
  if (!drives.ContainsKey(drive->Id())) drives.Add(drive->Id(), drive);
}

bool StorageManagementBase::RemoveController(Vesk::Controller* record) {
  const std::uint16_t deviceId = record->deviceId;
  controllerGuidToDeviceId.erase(Guid(record->id));

  // Keep the device-identifier index off the record that is leaving: point it at another present
  // controller with the same device identifier, or drop the entry.
  auto& byDeviceId = Native().GetControllers().GetControllersByDeviceId();
  if (auto at = byDeviceId.find(deviceId); at != byDeviceId.end() && at->second == record) {
    Vesk::Controller* successor = nullptr;
    for (auto& [id, other] : Native().GetControllers().GetControllersById()) {
      if (other != record && other != nullptr && other->deviceId == deviceId) {
        successor = other;
        break;
      }
    }
    if (successor) {
      at->second = successor;
    } else {
      byDeviceId.erase(at);
    }
  }

  std::shared_ptr<Controller> managed;
  controllers.TryGetValue(deviceId, managed);
  bool shared = false;
  for (const auto& [id, otherDeviceId] : controllerGuidToDeviceId) {
    if (otherDeviceId == deviceId) {
      shared = true;
      break;
    }
  }
  if (!shared) controllers.Remove(deviceId);
  // The managed Controller built from this record keeps it, whether it stays in the collection
  // (shared) or lives on with whoever still holds it.
  return managed && managed->AdoptNativeRecord(record);
}

bool StorageManagementBase::RemoveArray(const Vesk::Array* record) {
  arrays.Remove(Guid(record->id));
  return false;
}

bool StorageManagementBase::RemoveVolume(const Vesk::Volume* record) {
  volumes.Remove(Guid(record->id));
  return false;
}

bool StorageManagementBase::RemoveDrive(const Vesk::Drive* record) {
  drives.Remove(Guid(record->id));
  return false;
}

// --- Native lookups ---------------------------------------------------------------------------

const Vesk::Controller& StorageManagementBase::GetNativeController(const Controller& controller) {
  auto& byDeviceId = Native().GetControllers().GetControllersByDeviceId();
  auto at = byDeviceId.find(controller.DeviceId());
  if (at == byDeviceId.end() || at->second == nullptr) {
    throw NativeTaluException("The controller is not present.");
  }
  return *at->second;
}

const Vesk::DeviceHandle* StorageManagementBase::GetControllerDeviceHandle(
    const Controller& controller) {
  return GetNativeController(controller).GetDeviceHandle().get();
}

// --- Disposal ---------------------------------------------------------------------------------

void StorageManagementBase::HandOverControllerRecords() {
  auto& byId = GetInstance().GetControllers().GetControllersById();
  for (const auto& [deviceId, controller] : controllers.Snapshot()) {
    const Vesk::Controller* record = controller->NativeRecord();
    if (record == nullptr) continue;
    auto at = byId.find(record->id);
    if (at == byId.end() || at->second != record) continue;
    controller->AdoptNativeRecord(at->second);
    byId.erase(at);
  }
  GetInstance().GetControllers().GetControllersByDeviceId().clear();
}

void StorageManagementBase::Dispose(bool disposingManaged) {
  disposing = true;
  // After this no notification reaches HandlePnpEvent, and one that was running has finished.
  if (pnpCallback) pnpCallback->Revoke();
  if (disposingManaged && updatedControllers) {
    ClearUpdatesData();
    updatedControllers.reset();
    updatedArrays.reset();
    updatedVolumes.reset();
    updatedDrives.reset();
  }
  if (!IsInvalid()) HandOverControllerRecords();
  VeskManaged::Dispose(disposingManaged);
}

}  // namespace VESK_Managed
