// The simulated RAID driver: a DeviceBackend that serves the controller devices of one Topology.
//
// It answers every management query in the layout of the controller's specification version
// (as an older driver would write it), carries out every command against the model with
// validation, runs background work on a clock that callers advance, and injects faults per
// function code. Out-of-band requests ("TALU OOB") are answered too. docs/simulator.md lists its
// status codes, the JSON format of its topologies and the fault switches.
//
// Thread safety: every member may be called from any thread; one internal mutex guards the model,
// the clock and the faults. A delay fault sleeps and a removal fault calls its handler without
// holding that mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "simulator/Machine.h"
#include "simulator/Topology.h"

namespace vesk::sim {

// The statuses this driver answers with (offset 20 of the answer).
enum class DriverStatus : std::uint16_t {
  Success = 0,
  InvalidRequest = 1,         // unknown signature or function code, request shorter than its record
  UnsupportedApiVersion = 2,  // API-version field above 3
  InvalidScope = 3,           // scope type not allowed for the query, reserved scope bits set
  BufferTooSmall = 4,         // the answer does not fit the buffer
  InvalidParameter = 6,       // a value out of range: policy, flag byte, strip size, level, size
  InvalidDriveCount = 7,      // drive count not allowed for the RAID level, or an empty list
  DriveInUse = 8,             // member of another array, spare, journaling drive, listed twice
  DriveUnusable = 9,          // optical, missing, failed or offline, foreign metadata, too small
  InsufficientSpace = 10,     // not enough free capacity in the array or on the drives
  InvalidName = 11,           // empty name, or characters outside printable ASCII
  NameInUse = 12,             // another volume of the controller has this name
  LimitReached = 13,          // volumes per array or controller, drives per array
  VolumeBusy = 14,            // background work runs on the volume or its array
  InvalidState = 15,          // the object is not in a state the command applies to
  NotSupported = 16,          // not possible for this RAID level, drive type or form
  ControllerNotFound = 260,
  ArrayNotFound = 261,
  VolumeNotFound = 262,
  SubscriptionNotFound = 263,
  DriveNotFound = 264,
};

// Function codes: queries 0x44000 + 4n, commands 0x48000 + 4n.
namespace function {
inline constexpr std::uint32_t kGetControllerInfo = 0x44000;
inline constexpr std::uint32_t kGetControllerIdentifiers = 0x44004;
inline constexpr std::uint32_t kGetControllerCapabilities = 0x44008;
inline constexpr std::uint32_t kGetDriveInfo = 0x4400C;
inline constexpr std::uint32_t kGetDriveIdentifiers = 0x44010;
inline constexpr std::uint32_t kGetVolumeInfo = 0x44014;
inline constexpr std::uint32_t kGetVolumeIdentifiers = 0x44018;
inline constexpr std::uint32_t kGetArrayInfo = 0x44020;
inline constexpr std::uint32_t kGetArrayIdentifiers = 0x44024;
inline constexpr std::uint32_t kGetExecutorInformation = 0x44028;
inline constexpr std::uint32_t kGetEvents = 0x4402C;
inline constexpr std::uint32_t kCreateVolume = 0x48000;
inline constexpr std::uint32_t kMarkAsSpare = 0x48004;
inline constexpr std::uint32_t kUnmarkSpare = 0x48008;
inline constexpr std::uint32_t kClearDriveMetadata = 0x4800C;
inline constexpr std::uint32_t kMarkDriveAsNormal = 0x48010;
inline constexpr std::uint32_t kSetVolatileWriteCache = 0x48014;
inline constexpr std::uint32_t kResetSmartEvent = 0x48018;
inline constexpr std::uint32_t kActivateDriveLed = 0x4801C;
inline constexpr std::uint32_t kRemoveDrive = 0x48020;
inline constexpr std::uint32_t kMarkVolumeAsNormal = 0x48024;
inline constexpr std::uint32_t kDeleteVolume = 0x48028;
inline constexpr std::uint32_t kRebuildVolume = 0x4802C;
inline constexpr std::uint32_t kExpandVolume = 0x48030;
inline constexpr std::uint32_t kChangeRaidLayout = 0x48034;
inline constexpr std::uint32_t kRenameVolume = 0x48038;
inline constexpr std::uint32_t kVerifyVolume = 0x4803C;
inline constexpr std::uint32_t kCancelVerification = 0x48040;
inline constexpr std::uint32_t kInitializeVolume = 0x48044;
inline constexpr std::uint32_t kAddDrivesToArray = 0x48048;
inline constexpr std::uint32_t kSetVolumeCachePolicy = 0x4804C;
inline constexpr std::uint32_t kSetVolumeRwhPolicy = 0x48050;
inline constexpr std::uint32_t kSetArrayCachePolicy = 0x48054;
inline constexpr std::uint32_t kSetRohiPolicy = 0x48058;
inline constexpr std::uint32_t kSetReadPatrolPolicy = 0x4805C;
inline constexpr std::uint32_t kCreateEventSubscription = 0x48060;
inline constexpr std::uint32_t kCancelEventSubscription = 0x48064;
inline constexpr std::uint32_t kSanitizeDrive = 0x48068;
inline constexpr std::uint32_t kSetControllerRate = 0x4806C;
// Out-of-band requests reuse the code space under their own signature.
inline constexpr std::uint32_t kOobPerformAction = 0x48000;
inline constexpr std::uint32_t kOobSendData = 0x48004;
inline constexpr std::uint32_t kOobReceiveData = 0x44000;
}  // namespace function

// Event types a subscription can ask for (one byte each in the create request).
namespace event_type {
inline constexpr std::uint8_t kVolumeChanged = 1;
inline constexpr std::uint8_t kDriveChanged = 2;
inline constexpr std::uint8_t kArrayChanged = 3;
inline constexpr std::uint8_t kWorkFinished = 4;
}  // namespace event_type

// One fault switch. The first switch that matches a request (function code, signature, device)
// fires and uses up one of its `count` firings.
struct Fault {
  enum class Kind {
    Busy,               // DeviceIoControl fails with ERROR_BUSY
    Status,             // answered with status `value`, nothing carried out
    DeviceFailure,      // DeviceIoControl fails with error `value` (ERROR_IO_DEVICE when 0)
    ReturnCode,         // return code `value` (use one above 0xFFFF), nothing carried out
    CountBeyondBuffer,  // carried out, then the answer's count claims one entry more than fits
    DescriptorOverrun,  // capabilities: the last descriptor's migration list runs past the end
    ZeroIdentifier,     // carried out, then entry `value` of the answer gets the all-zero id
    Delay,              // held for `value` ms (without the driver's lock), then carried out
    RemoveDevice,       // the device is removed mid-request; the call fails with `value`
                        // (ERROR_DEVICE_NOT_CONNECTED when 0)
  };
  Fault() = default;
  Fault(Kind kind, std::uint32_t functionCode, std::uint32_t value = 0, int count = 1)
      : kind(kind), functionCode(functionCode), value(value), count(count) {}

  Kind kind = Kind::Status;
  std::uint32_t functionCode = 0;
  std::uint32_t value = 0;
  int count = 1;           // -1: every matching request until ClearFaults
  bool outOfBand = false;  // matches "TALU OOB" requests instead of management requests
  std::wstring pdoName;    // empty: requests to any device of this driver
};

class RaidDriver : public DeviceBackend {
 public:
  explicit RaidDriver(Topology topology);
  static std::shared_ptr<RaidDriver> FromFile(const std::string& path);

  IoResult Control(const IoControl& call) override;

  // The clock that background work runs on. AdvanceClock moves it (and every running piece of
  // work) forward; with real time on, every request first advances it by the wall-clock time
  // since the previous request.
  void AdvanceClock(std::uint64_t milliseconds);
  std::uint64_t ClockMs() const;
  void UseRealTime(bool enabled);

  void InjectFault(Fault fault);
  void ClearFaults();
  // Requests received per function code (management and out-of-band counted apart).
  std::size_t RequestCount(std::uint32_t functionCode, bool outOfBand = false) const;

  // A copy of the model, and a change applied under the driver's lock (tests set up states
  // with it; the next query shows the change).
  Topology Snapshot() const;
  void Edit(const std::function<void(Topology&)>& change);
  // Sets a drive's status the way a failing or returning drive would, updating the health of
  // the volumes on it. Returns false for an unknown drive.
  bool SetDriveStatus(const vesk_guid& driveId, std::uint8_t status);

  // Drills: what happens to the hardware, as the driver sees it. Each answers Success or the
  // status a command would get: DriveNotFound or VolumeNotFound for an unknown identifier,
  // DriveUnusable for a drive that is gone, InvalidState for what cannot happen to it now.
  // A drive fails (a member is lost to its volumes; a spare may take over).
  DriverStatus FailDrive(const vesk_guid& driveId);
  // A drive is pulled: it stays listed as missing in its place, as RemoveDrive leaves it.
  DriverStatus PullDrive(const vesk_guid& driveId);
  // A pulled drive is put back, or with `blank` a new empty drive of the same kind goes into its
  // slot; `inserted` receives the drive now in the slot. InvalidState when the drive is not
  // missing, nothing is known of what it was, or another drive is in the slot.
  DriverStatus InsertDrive(const vesk_guid& driveId, bool blank, vesk_guid* inserted = nullptr);
  // The drive reports a SMART event (a normal drive only).
  DriverStatus SignalSmartEvent(const vesk_guid& driveId);
  // The errors and bad blocks the next verification or read patrol of the volume finds.
  DriverStatus SetMediaErrors(const vesk_guid& volumeId, std::uint32_t errors,
                              std::uint32_t badBlocks);
  // The administrator has dealt with the volume's lost data (restored it, or accepted the loss):
  // the mark goes. InvalidState when the volume has none.
  DriverStatus AcknowledgeDataLoss(const vesk_guid& volumeId);
  // The model as JSON, to be loaded by a later process.
  std::string Save() const;

  // Called by a RemoveDevice fault with the device's PDO name; AddControllerDevices installs one
  // that removes the device from the machine.
  void SetRemovalHandler(std::function<void(const std::wstring& pdoName)> handler);

  // Last payload of the out-of-band send-data request (68 bytes), and last action code.
  std::vector<std::uint8_t> LastOutOfBandData() const;
  std::uint32_t LastOutOfBandAction() const;

 private:
  struct Subscription {
    vesk_guid controllerId{};
    std::vector<std::uint8_t> types;
    std::vector<std::pair<std::uint8_t, vesk_guid>> pending;
  };
  struct Request;

  DriverStatus Dispatch(Request& request);
  DriverStatus Query(Request& request);
  DriverStatus Command(Request& request);
  void OutOfBand(Request& request);
  void ApplyAnswerFault(const Fault& fault, Request& request);

  // Queries
  DriverStatus ControllerInfo(Request& r);
  DriverStatus ControllerIdentifiers(Request& r);
  DriverStatus Capabilities(Request& r);
  DriverStatus ArrayList(Request& r, bool identifiersOnly);
  DriverStatus VolumeList(Request& r, bool identifiersOnly);
  DriverStatus DriveList(Request& r, bool identifiersOnly);
  DriverStatus Events(Request& r);

  // Commands
  DriverStatus CreateVolume(Request& r);
  DriverStatus DriveCommand(Request& r);
  DriverStatus VolumeCommand(Request& r);
  DriverStatus AddDrivesToArray(Request& r);
  DriverStatus RebuildVolume(Request& r, Controller& c, Volume& v);
  DriverStatus ChangeRaidLayout(Request& r, Controller& c, Volume& v);
  DriverStatus SetRwhPolicy(Request& r, Controller& c, Volume& v);
  DriverStatus ControllerCommand(Request& r);
  DriverStatus SubscriptionCommand(Request& r);
  DriverStatus SanitizeDrive(Request& r);

  // Model helpers (lock held)
  void Advance(std::uint64_t milliseconds);
  void Finish(Controller& c, Volume& v);
  void StartTask(Controller& c, Volume& v, Task task);
  void UpdateHealth(Controller& c);
  void LoseData(Controller& c, Volume& v);
  DataLoss& NoteLoss(Volume& v, std::uint64_t bytes, const std::vector<vesk_guid>& members);
  void Force(Volume& v);
  void Resume(Controller& c, Volume& v);
  void ChangeStatus(Controller& c, Drive& d, std::uint8_t status);
  void Detach(Controller& c, Drive& d);
  // What the driver does on its own: spares take over lost members, read patrol repairs.
  void TakeOver(Controller& c);
  void Replace(Controller& c, Array& a, std::size_t index, Drive& by);
  void RebuildDegraded(Controller& c, const Array& a);
  void Patrol(Controller& c, std::uint64_t milliseconds);
  void Post(const Controller& c, std::uint8_t type, const vesk_guid& id);
  vesk_guid NewIdentifier(std::uint8_t kind);
  DriverStatus CheckAvailable(Controller& c, const std::vector<vesk_guid>& drives,
                              std::uint64_t minCapacity, bool allowSpares = false);

  mutable std::mutex mutex;
  Topology topology;
  std::vector<Fault> faults;
  std::map<std::pair<std::uint32_t, bool>, std::size_t> requestCounts;
  std::map<vesk_guid, Subscription> subscriptions;
  std::function<void(const std::wstring&)> removalHandler;
  bool realTime = false;
  std::chrono::steady_clock::time_point lastRequest;
  std::vector<std::uint8_t> oobData = std::vector<std::uint8_t>(68);
  std::uint32_t oobAction = 0;
};

// Adds one SCSI-adapter device per controller of `driver` to `machine`, in the order of the
// topology: manufacturer "Korva Corporation", the controller's service name and PDO name, and
// `driver` as backend. Installs a removal handler that removes the device from this machine.
// Returns the device ids in controller order.
std::vector<DeviceId> AddControllerDevices(Machine& machine,
                                           const std::shared_ptr<RaidDriver>& driver);

}  // namespace vesk::sim
