#include "vesk_managed/StorageManagementBase.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

#include "device/DeviceHandle.h"
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

// A failure on the debugger output: the text, then the exception's own.
void DebugFailure(const wchar_t* text, const char* what) {
  std::wstring line(text);
  for (const char* c = what; *c != '\0'; ++c) line.push_back(static_cast<unsigned char>(*c));
  line.push_back(L'\n');
  ::OutputDebugStringW(line.c_str());
}

// Runs the element steps of a refresh so that a failing one (a handler of the user interface that
// throws) skips neither the steps after it nor their bookkeeping; the first failure is rethrown
// once every step has run.
class Steps {
 public:
  template <typename Step>
  void Run(Step&& step) {
    try {
      step();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  void RethrowFirstFailure() {
    if (failure) std::rethrow_exception(failure);
  }

 private:
  std::exception_ptr failure;
};

// The notifying members running on this thread, innermost first, each a frame on its own stack.
// Thread-local state stays plain pointers: under MinGW the destructors of thread-local objects have
// been seen to find other values at a thread's end than the thread left.
struct RefreshFrame {
  const StorageManagementBase* facade;
  const RefreshFrame* outer;
};
thread_local const RefreshFrame* refreshingHere = nullptr;
// The facade whose notification entry runs on this thread, if any.
thread_local const StorageManagementBase* notifiedHere = nullptr;

// A controller found again takes the device it was found on this time: the device its record
// had may have gone in the meantime (unplugged and plugged back before this refresh ran).
void TakeDevice(Vesk::Controller& current, const Vesk::Controller& fresh) {
  current.deviceHandle = fresh.deviceHandle;
  // What the library does not interpret of the driver's executor information follows it too.
  std::memcpy(current.executorInformation, fresh.executorInformation,
              sizeof current.executorInformation);
}
template <typename Record>
void TakeDevice(Record&, const Record&) {}

// A controller found again under another driver (an update reloads the device with it) that
// speaks another layout or offers other RAID levels. Its managed object shows what the driver it
// was built from said, and its RAID-level descriptors read through to the record of that driver,
// so it is replaced rather than updated. The rest of the executor information is not compared: the
// library does not interpret it, and a driver may well change it between two refreshes.
bool DriverChanged(const Vesk::Controller& current, const Vesk::Controller& fresh) {
  if (current.apiVersion != fresh.apiVersion ||
      current.maxDrivesPerArray != fresh.maxDrivesPerArray) {
    return true;
  }
  for (std::size_t i = 0; i < Vesk::kMaxRaidLevelDescriptors; ++i) {
    const Vesk::RaidLevelDescriptor& was = current.raidLevelDescriptors[i];
    const Vesk::RaidLevelDescriptor& is = fresh.raidLevelDescriptors[i];
    if (std::memcmp(static_cast<const Vesk::RaidLevelDescriptorHeader*>(&was),
                    static_cast<const Vesk::RaidLevelDescriptorHeader*>(&is),
                    sizeof(Vesk::RaidLevelDescriptorHeader)) != 0 ||
        was.migrationDescriptors != is.migrationDescriptors) {
      return true;
    }
  }
  return false;
}
template <typename Record>
bool DriverChanged(const Record&, const Record&) {
  return false;
}

// Two answers for one array, volume or drive that an Update could not tell apart.
template <typename Record>
bool SameRecord(const Record& current, const Record& fresh) {
  static_assert(std::is_trivially_copyable_v<Record>);
  return std::memcmp(&current, &fresh, sizeof(Record)) == 0;
}
bool SameRecord(const Vesk::Controller&, const Vesk::Controller&) { return false; }

// The controller's device has gone: its handle heard of the removal.
bool DeviceGone(const Vesk::Controller& record) {
  const std::shared_ptr<Vesk::DeviceHandle>& device = record.GetDeviceHandle();
  return device && device->exitEvent != nullptr &&
         ::WaitForSingleObject(device->exitEvent, 0) == WAIT_OBJECT_0;
}

// A request failed because its device has gone, whether or not its handle heard of it: the
// device call found it disconnected, the handle already closed, or the lock was left for the
// removal (the executor's own text).
bool DeviceGone(const Vesk::TaluException& failure) {
  if (dynamic_cast<const Vesk::VeskException*>(&failure) != nullptr) return false;
  return failure.ErrorCode() == ERROR_DEVICE_NOT_CONNECTED ||
         failure.ErrorCode() == ERROR_INVALID_HANDLE ||
         failure.Message() == "Mutex wait for device was signaled to exit.";
}

// A native call of a polling refresh, translated. A failure because a device has gone owes the
// next UpdateAllControllers a rediscovery; without it every later refresh would fail the same way.
template <typename Call>
decltype(auto) TranslatePolled(std::atomic<bool>& refreshOwed, Call&& call) {
  return Translate([&]() -> decltype(auto) {
    try {
      return call();
    } catch (const Vesk::TaluException& failure) {
      if (DeviceGone(failure)) refreshOwed = true;
      throw;
    }
  });
}

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

// Marks a member that raises notifications, from its start to its end on this thread. A handler
// may dispose the facade meanwhile: the member still walks the native collections, so the
// outermost such member completes the disposal when it ends.
class StorageManagementBase::RefreshScope {
 public:
  explicit RefreshScope(StorageManagementBase& facade)
      : facade(facade), frame{&facade, refreshingHere} {
    refreshingHere = &frame;
  }
  ~RefreshScope() {
    refreshingHere = frame.outer;
    if (!facade.RefreshingHere() && facade.disposalDeferred.exchange(false)) {
      try {
        facade.CompleteDisposal(true);
      } catch (...) {
        // Out of memory: the destructor releases the native facade.
      }
    }
  }
  RefreshScope(const RefreshScope&) = delete;
  RefreshScope& operator=(const RefreshScope&) = delete;

 private:
  StorageManagementBase& facade;
  RefreshFrame frame;
};

StorageManagementBase::StorageManagementBase() {
  // A failure from here on destroys the native facade again through the base's destructor.
  pnpCallback = std::make_unique<System::Runtime::InteropServices::CallbackBinding>(
      [this] { OnPnpNotification(); });
  pnpCallbackStub = pnpCallback->Get();
  GetInstance().SetPnpCallback(pnpCallbackStub);
}

StorageManagementBase::~StorageManagementBase() { Dispose(true); }

Vesk::StorageManagement& StorageManagementBase::Native() {
  if (disposed) throw System::ObjectDisposedException();
  return GetInstance();
}

bool StorageManagementBase::RefreshingHere() const {
  for (const RefreshFrame* frame = refreshingHere; frame != nullptr; frame = frame->outer)
    if (frame->facade == this) return true;
  return false;
}

// --- Population -------------------------------------------------------------------------------

void StorageManagementBase::SetAllControllersInfo() {
  Vesk::StorageManagement& native = Native();
  Translate([&] { native.SetControllers(); });
  AddEach(native.GetControllers().GetControllersById());
}

void StorageManagementBase::SetAllArraysInfo() {
  SetAllArraysInfo(Native().GetArrays());
  AddEach(GetInstance().GetArrays());
}

void StorageManagementBase::SetAllVolumesInfo() {
  SetAllVolumesInfo(Native().GetVolumes());
  AddEach(GetInstance().GetVolumes());
}

void StorageManagementBase::SetAllDrivesInfo() {
  SetAllDrivesInfo(Native().GetDrives());
  AddEach(GetInstance().GetDrives());
}

template <typename Record>
void StorageManagementBase::AddEach(std::map<Vesk::vesk_guid, Record*>& records) {
  RefreshScope refreshing(*this);
  Steps steps;
  for (auto& entry : records) {
    if (disposed) break;
    steps.Run([&] { AddElement(entry.second); });
  }
  steps.RethrowFirstFailure();
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
  ThrowIfDisposed();
  // A device that went without this facade hearing of it (its registration failed, or the
  // notification was lost) is left for the one found in its place before anything is sent.
  const auto& current = GetInstance().GetControllers().GetControllersById();
  const bool deviceGone = std::any_of(current.begin(), current.end(), [](const auto& entry) {
    return entry.second != nullptr && DeviceGone(*entry.second);
  });
  if (controllerRefreshOwed || deviceGone) {
    RefreshScope refreshing(*this);
    RefreshControllers(true);
  }
  // A handler of that refresh may have disposed the facade.
  Vesk::StorageManagement& native = Native();
  auto& fresh = updatedControllers->GetControllersById();
  for (const auto& entry : native.GetControllers().GetControllersById()) {
    const Vesk::vesk_guid id = entry.first;
    const Vesk::Controller* record = entry.second;
    auto controller = TranslatePolled(controllerRefreshOwed, [&] {
      return native.GetSingleController(record->GetDeviceHandle(), id);
    });
    // A record staged by an earlier UpdateAllControllers is replaced, not leaked.
    delete std::exchange(fresh[id], controller.release());
  }
}

void StorageManagementBase::UpdateAllArrays() {
  Vesk::StorageManagement& native = Native();
  TranslatePolled(controllerRefreshOwed, [&] {
    for (auto& [id, controller] : native.GetControllers().GetControllersById()) {
      native.SetArrays(*controller, *updatedArrays);
    }
  });
}

void StorageManagementBase::UpdateAllVolumes() {
  Vesk::StorageManagement& native = Native();
  TranslatePolled(controllerRefreshOwed, [&] {
    for (auto& [id, controller] : native.GetControllers().GetControllersById()) {
      native.SetVolumes(*controller, *updatedVolumes);
    }
  });
}

void StorageManagementBase::UpdateAllDrives() {
  Vesk::StorageManagement& native = Native();
  TranslatePolled(controllerRefreshOwed, [&] {
    for (auto& [id, controller] : native.GetControllers().GetControllersById()) {
      native.SetDrives(*controller, *updatedDrives);
    }
  });
}

void StorageManagementBase::SynchronizeStorageData() {
  Vesk::StorageManagement& native = Native();
  RefreshScope refreshing(*this);
  Steps steps;
  steps.Run([&] {
    UpdateCollection(controllers, updatedControllers->GetControllersById(),
                     native.GetControllers().GetControllersById());
  });
  steps.Run([&] { UpdateCollection(arrays, *updatedArrays, native.GetArrays()); });
  steps.Run([&] { UpdateCollection(volumes, *updatedVolumes, native.GetVolumes()); });
  steps.Run([&] { UpdateCollection(drives, *updatedDrives, native.GetDrives()); });
  steps.RethrowFirstFailure();
}

void StorageManagementBase::ClearUpdatesData() {
  ThrowIfDisposed();
  ReleaseWorkingRecords();
}

void StorageManagementBase::ReleaseWorkingRecords() {
  // Entries whose record moved into a current collection hold null by now.
  Vesk::ClearMap(updatedControllers->GetControllersById(), *updatedArrays, *updatedVolumes,
                 *updatedDrives);
  updatedControllers->clear();
}

// --- Notification-driven refresh ------------------------------------------------------------

void StorageManagementBase::OnPnpNotification() {
  {
    std::lock_guard lock(notificationGuard);
    ++notificationsRunning;
  }
  const StorageManagementBase* outer = std::exchange(notifiedHere, this);
  try {
    HandlePnpEvent();
  } catch (const System::ObjectDisposedException&) {
    // Disposal has begun: there is nothing left to refresh.
  } catch (const std::exception& failure) {
    DebugFailure(L"Controller refresh after a device notification failed: ", failure.what());
  } catch (...) {
    DebugLine(L"Controller refresh after a device notification failed.\n");
  }
  notifiedHere = outer;
  std::lock_guard lock(notificationGuard);
  --notificationsRunning;
  notificationsIdle.notify_all();
}

void StorageManagementBase::HandlePnpEvent() {
  ThrowIfDisposed();
  // Waits in slices so that a disposal that begins meanwhile is noticed instead of waiting for
  // a user interface that may itself be disposing the facade under the semaphore.
  while (!ioSemaphore.Wait(std::chrono::milliseconds(20))) ThrowIfDisposed();
  SemaphoreHold hold(ioSemaphore);
  ThrowIfDisposed();
  RefreshScope refreshing(*this);
  RefreshControllers(false);
}

void StorageManagementBase::RefreshControllers(bool translateFailures) {
  Vesk::Controllers present;
  struct ReleaseLeftovers {
    Vesk::Controllers& container;
    // The records of controllers that were known already; the new ones moved out.
    ~ReleaseLeftovers() { Vesk::ClearMap(container.GetControllersById()); }
  } releaseLeftovers{present};

  // Until discovery succeeds the snapshot may hold a controller that is gone, on which every
  // polling refresh would fail: the next UpdateAllControllers starts here again.
  controllerRefreshOwed = true;
  if (translateFailures) {
    Translate([&] { GetInstance().SetControllers(present); });
  } else {
    GetInstance().SetControllers(present);
  }
  controllerRefreshOwed = false;
  UpdateCollection(controllers, present.GetControllersById(),
                   GetInstance().GetControllers().GetControllersById());
}

// --- The diff -------------------------------------------------------------------------------

template <typename Dictionary, typename Record>
void StorageManagementBase::UpdateCollection(
    Dictionary& managedCollectionToUpdate, std::map<Vesk::vesk_guid, Record*>& updatedCollection,
    std::map<Vesk::vesk_guid, Record*>& nativeCollectionToUpdate) {
  // Controllers keep their records as added: a managed Controller reads through to its record.
  // The other kinds take each answer into their current record once their managed object has
  // been updated from it, so that the next diff can tell an unchanged element by its bytes alone,
  // without looking into the dictionary, as long as nothing but the diff changed the dictionary.
  InLine* const inLine = InLineOf(managedCollectionToUpdate);
  std::uint64_t expected = inLine != nullptr ? managedCollectionToUpdate.Version() : 0;
  bool inStep = inLine != nullptr;
  const bool asLeft = inStep && inLine->known && inLine->version == expected;
  if (inLine != nullptr) inLine->known = false;
  // After each step that can raise: the dictionary holds only what this diff put there.
  auto follow = [&](std::uint64_t changesOfOurs) {
    if (!inStep) return;
    const std::uint64_t now = managedCollectionToUpdate.Version();
    if (now - expected > changesOfOurs) inStep = false;
    expected = now;
  };

  // Each element is one step; a disposal from a handler ends the walk between two elements.
  Steps steps;
  auto add = [&](auto at) {
    const Vesk::vesk_guid id = at->first;
    steps.Run([&] { AddNewElement(nativeCollectionToUpdate, at); });
    if constexpr (!std::is_same_v<Record, Vesk::Controller>) {
      // An object that was in the dictionary already was not made from this record.
      if (inStep && managedCollectionToUpdate.Version() == expected &&
          managedCollectionToUpdate.ContainsKey(Guid(id))) {
        inStep = false;
      }
    }
    follow(1);
  };
  auto remove = [&](auto at) {
    steps.Run([&] { RemoveExistingElement(nativeCollectionToUpdate, at); });
    follow(1);
  };
  auto u = updatedCollection.begin();
  auto c = nativeCollectionToUpdate.begin();
  while (u != updatedCollection.end() && c != nativeCollectionToUpdate.end() && !disposed) {
    // Most elements are in both maps: that is asked first, by one comparison instead of two.
    if (u->first != c->first) {
      if (u->first < c->first) {
        add(u++);
      } else {
        remove(c++);
      }
    } else {
      const Record* fresh = u->second;
      if (fresh != nullptr && DriverChanged(*c->second, *fresh)) {
        // Out first, so that the addition builds a new managed object from the fresh record.
        remove(c++);
        add(u++);
        continue;
      }
      // An element without a managed object (a type the facade does not know) is skipped.
      if (fresh != nullptr && !(asLeft && inStep && SameRecord(*c->second, *fresh))) {
        TakeDevice(*c->second, *fresh);
        Record& current = *c->second;
        bool whole = false;
        steps.Run([&] {
          typename Dictionary::mapped_type managed;
          if (managedCollectionToUpdate.TryGetValue(ManagedKey(*fresh), managed)) {
            managed->Update(*fresh);
          }
          // Only an update that ran to its end leaves the managed object as the record says.
          if constexpr (!std::is_same_v<Record, Vesk::Controller>) current = *fresh;
          whole = true;
        });
        // One that did not is half the old record and half the new: no record tells what the
        // object holds, so the next diff updates every element, whatever the driver answers.
        if (!whole) inStep = false;
        follow(0);
      }
      ++u;
      ++c;
    }
  }
  while (u != updatedCollection.end() && !disposed) add(u++);
  while (c != nativeCollectionToUpdate.end() && !disposed) remove(c++);
  if (inLine != nullptr && inStep) *inLine = {true, expected};
  steps.RethrowFirstFailure();
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
  // Out of the current collection before the removal is raised: a handler that throws must not
  // leave the record behind for a later diff to release again.
  std::unique_ptr<Record> record(currentIterator->second);
  baseCollection.erase(currentIterator);
  RemoveElement(record);
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
  // Operations find controllers by device identifier, also those that arrive after population.
  // Indexed before the addition is raised, which a handler may answer with an exception.
  GetInstance().GetControllers().GetControllersByDeviceId().try_emplace(record->deviceId, record);
  if (!controllers.ContainsKey(controller->DeviceId())) {
    controllers.Add(controller->DeviceId(), controller);
  }
}

void StorageManagementBase::AddArray(const Vesk::Array* record) {
  auto array = std::make_shared<Array>(*record);
  if (!arrays.ContainsKey(array->Id())) arrays.Add(array->Id(), array);
}

void StorageManagementBase::AddVolume(const Vesk::Volume* record) {
  std::shared_ptr<Volume> volume;
  try {
    volume = std::make_shared<Volume>(*record);
  } catch (const System::NotSupportedException& failure) {
    // A RAID level without a number: this volume cannot be shown, the others still can.
    DebugFailure(L"An element could not be added: ", failure.what());
    return;
  }
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

void StorageManagementBase::RemoveController(std::unique_ptr<Vesk::Controller>& record) {
  const std::uint16_t deviceId = record->deviceId;
  controllerGuidToDeviceId.erase(Guid(record->id));

  // Keep the device-identifier index off the record that is leaving: point it at another present
  // controller with the same device identifier, or drop the entry.
  auto& byDeviceId = GetInstance().GetControllers().GetControllersByDeviceId();
  if (auto at = byDeviceId.find(deviceId); at != byDeviceId.end() && at->second == record.get()) {
    Vesk::Controller* successor = nullptr;
    for (auto& [id, other] : GetInstance().GetControllers().GetControllersById()) {
      if (other != nullptr && other->deviceId == deviceId) {
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
  // The managed Controller built from this record keeps it, whether it stays in the collection
  // (shared) or lives on with whoever still holds it; it takes it before anyone hears of the
  // removal.
  if (managed && managed->AdoptNativeRecord(record.get())) record.release();
  bool shared = false;
  for (const auto& [id, otherDeviceId] : controllerGuidToDeviceId) {
    if (otherDeviceId == deviceId) {
      shared = true;
      break;
    }
  }
  if (!shared) controllers.Remove(deviceId);
}

void StorageManagementBase::RemoveArray(const Vesk::Array* record) {
  arrays.Remove(Guid(record->id));
}

void StorageManagementBase::RemoveVolume(const Vesk::Volume* record) {
  volumes.Remove(Guid(record->id));
}

void StorageManagementBase::RemoveDrive(const Vesk::Drive* record) {
  drives.Remove(Guid(record->id));
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

std::shared_ptr<const Vesk::DeviceHandle> StorageManagementBase::GetControllerDeviceHandle(
    const Controller& controller) {
  return GetNativeController(controller).GetDeviceHandle();
}

std::unique_ptr<Vesk::Controller> StorageManagementBase::CopyNativeController(
    const Controller& controller) {
  const Vesk::Controller& record = GetNativeController(controller);
  auto copy = std::make_unique<Vesk::Controller>();
  copy->Information() = record.Information();
  copy->deviceHandle = record.deviceHandle;
  std::memcpy(copy->executorInformation, record.executorInformation,
              sizeof copy->executorInformation);
  copy->maxDrivesPerArray = record.maxDrivesPerArray;
  std::copy(std::begin(record.raidLevelDescriptors), std::end(record.raidLevelDescriptors),
            copy->raidLevelDescriptors);
  copy->apiVersion = record.apiVersion;
  return copy;
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
  const bool first = !disposed.exchange(true);
  if (first) {
    // No notification reaches this facade from here on.
    if (!IsInvalid()) GetInstance().SetPnpCallback(nullptr);
    if (pnpCallback) pnpCallback->Revoke();
  }
  {
    // Every call waits for the notification refreshes running on other threads, which may be
    // completing a disposal their handler began.
    std::unique_lock lock(notificationGuard);
    const int own = notifiedHere == this ? 1 : 0;
    notificationsIdle.wait(lock, [&] { return notificationsRunning <= own; });
  }
  if (RefreshingHere()) {
    // A handler of a refresh on this thread: that refresh still walks the native collections.
    if (first) disposalDeferred = true;
    return;
  }
  if (first) CompleteDisposal(disposingManaged);
  if (reaper.joinable()) reaper.join();
}

void StorageManagementBase::CompleteDisposal(bool disposingManaged) {
  if (disposingManaged && updatedControllers) {
    ReleaseWorkingRecords();
    updatedControllers.reset();
    updatedArrays.reset();
    updatedVolumes.reset();
    updatedDrives.reset();
  }
  if (IsInvalid()) return;
  HandOverControllerRecords();
  if (notifiedHere == nullptr) {
    VeskManaged::Dispose(disposingManaged);
  } else {
    // The native facade's destructor waits for its notification threads, this one among them.
    reaper = std::thread([this] { ReleaseHandle(); });
  }
}

}  // namespace VESK_Managed
