// The driver operation table against a recording device: every operation's request, byte for
// byte as the device receives it, and how each one reports a failed or refused request.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "device/DeviceHandle.h"
#include "platform/win32.h"
#include "protocol/IoCommunication.h"
#include "simulator/Machine.h"
#include "tests/protocol/WireImage.h"
#include "vesk/Exceptions.h"

namespace Vesk {
namespace {

using test::TestId;
using test::WireImage;

// Records every call's input bytes and answers as scripted: the return code at offset 20, answer
// bytes at given offsets, or a failed call with a last error. Can hold calls until released.
class RecordingBackend : public vesk::sim::DeviceBackend {
 public:
  struct Call {
    DWORD controlCode;
    std::vector<std::uint8_t> in;
    DWORD outSize;
    bool sameBuffer;
  };
  struct Reply {
    bool ok = true;
    DWORD lastError = ERROR_SUCCESS;
    std::uint32_t returnCode = 0;
    std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> answer;
  };

  vesk::sim::IoResult Control(const vesk::sim::IoControl& call) override {
    std::unique_lock lock(mutex);
    calls.push_back({call.controlCode, std::vector<std::uint8_t>(call.in, call.in + call.inSize),
                     call.outSize, call.in == call.out});
    released.wait(lock, [this] { return !held; });
    if (!reply.ok) {
      ++completed;
      return {false, 0, reply.lastError};
    }
    if (call.outSize >= 24) std::memcpy(call.out + 20, &reply.returnCode, 4);
    for (const auto& [offset, bytes] : reply.answer) {
      if (offset + bytes.size() <= call.outSize) {
        std::memcpy(call.out + offset, bytes.data(), bytes.size());
      }
    }
    ++completed;
    return {true, call.outSize, ERROR_SUCCESS};
  }

  void Hold() {
    std::lock_guard lock(mutex);
    held = true;
  }
  void Release() {
    {
      std::lock_guard lock(mutex);
      held = false;
    }
    released.notify_all();
  }
  std::vector<Call> Calls() {
    std::lock_guard lock(mutex);
    return calls;
  }
  int Completed() {
    std::lock_guard lock(mutex);
    return completed;
  }
  void Clear() {
    std::lock_guard lock(mutex);
    calls.clear();
  }

  Reply reply;

 private:
  std::mutex mutex;
  std::condition_variable released;
  bool held = false;
  std::vector<Call> calls;
  int completed = 0;
};

const vesk_guid kController = TestId(0x10);
const vesk_guid kArray = TestId(0x20);
const vesk_guid kVolume = TestId(0x30);
const vesk_guid kDrive = TestId(0x40);
const vesk_guid kDrive2 = TestId(0x50);
const vesk_guid kJournal = TestId(0x60);
const vesk_guid kSubscription = TestId(0x70);
const wchar_t kPdoName[] = L"\\Device\\00000031";
const wchar_t kDevicePath[] = L"\\\\?\\Global\\GlobalRoot\\Device\\00000031";

template <class T>
struct ExecutorOf;
template <class E>
struct ExecutorOf<IoCommunication<E>> {
  using type = E;
};

// Runs one operation on either table; true when it handed back a request. A failure must leave
// no request behind. Waits for an asynchronous call so that the device has seen it.
#define OPERATION(REQUEST, CALL)                                               \
  [](auto& t, DeviceHandle* h) {                                               \
    using E = typename ExecutorOf<std::remove_reference_t<decltype(t)>>::type; \
    RequestPtr<REQUEST<E>> r;                                                  \
    try {                                                                      \
      CALL;                                                                    \
    } catch (...) {                                                            \
      EXPECT_EQ(r, nullptr) << "a failed operation left its request";          \
      throw;                                                                   \
    }                                                                          \
    if (r) r->WaitForCompletion();                                             \
    return r != nullptr;                                                       \
  }

using SyncCall = std::function<bool(IoCommunication<SynchronousIoctl>&, DeviceHandle*)>;
using AsyncCall = std::function<bool(IoCommunication<AsynchronousIoctl>&, DeviceHandle*)>;

struct Case {
  template <class F>
  Case(std::string name, F call, WireImage expected, const char* failure, bool outOfBand = false)
      : name(std::move(name)),
        sync(call),
        async(call),
        expected(std::move(expected.bytes)),
        failure(failure + std::string(" IOCTL was unsuccessful.")),
        outOfBand(outOfBand) {}

  std::string name;
  SyncCall sync;
  AsyncCall async;
  std::vector<std::uint8_t> expected;
  std::string failure;
  bool outOfBand;
};

vesk_new_volume_parameters NewVolume() {
  vesk_new_volume_parameters parameters{};
  std::memcpy(parameters.name, "SixteenCharsName", 16);
  parameters.stripSize = static_cast<vesk_strip_size>(0x0080);
  parameters.raidLevel = VESK_RAID_5;
  parameters.size = 0x1122334455667788;
  parameters.SetInitialize(true);
  parameters.SetRwhPolicy(static_cast<vesk_rwh_policy>(2));
  parameters.keepExistingDriveId = kDrive;
  parameters.journalingDriveId = kJournal;
  return parameters;
}

OOB::SendDataIoctlPayload SendPayload() {
  OOB::SendDataIoctlPayload payload{};
  for (int i = 0; i < 64; ++i) payload.data[i] = std::uint8_t(i + 1);
  payload.value = 0x55667788;
  return payload;
}

std::vector<std::uint8_t> Counting(std::size_t count, std::uint8_t first) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = std::uint8_t(first + i);
  return bytes;
}

WireImage Mgmt(std::uint32_t length, std::uint32_t code, std::uint32_t api = 3) {
  return WireImage::Management(length, code, api);
}

std::string Failed(const char* what) { return std::string(what) + " IOCTL was unsuccessful."; }

// An operation both tables must refuse before anything is sent.
struct Refusal {
  template <class F>
  Refusal(F call, const char* what) : sync(call), async(call), failure(Failed(what)) {}
  SyncCall sync;
  AsyncCall async;
  std::string failure;
};

std::vector<vesk_guid> TooManyDrives() { return std::vector<vesk_guid>(0x10000, kDrive); }

std::vector<Case> Operations() {
  return {
      {"GetControllerInfo",
       OPERATION(GetControllerInfoIoctl,
                 t.GetControllerInfo(h, kController, VESK_SCOPE_CONTROLLER, 437, 3, r)),
       Mgmt(437, 0x44000).U8(32, 1).Id(33, kController),
       "Unable to retrieve controller information."},
      {"GetControllerInfoVersion0",
       OPERATION(GetControllerInfoIoctl,
                 t.GetControllerInfo(h, kController, VESK_SCOPE_CONTROLLER, 369, 0, r)),
       Mgmt(369, 0x44000, 0).U8(32, 1).Id(33, kController),
       "Unable to retrieve controller information."},
      {"GetControllerCapabilities",
       OPERATION(GetControllerCapabilitiesIoctl, t.GetControllerCapabilities(h, kController, r)),
       Mgmt(343, 0x44008, 1).Id(32, kController), "Unable to retrieve controller capabilities."},
      {"GetControllerCapabilitiesLegacy",
       OPERATION(GetControllerCapabilitiesLegacyIoctl,
                 t.GetControllerCapabilitiesLegacy(h, kController, r)),
       Mgmt(83, 0x44008, 0).Id(32, kController), "Unable to retrieve controller capabilities."},
      {"EnableReadPatrol",
       OPERATION(SetControllerReadPatrolPolicyIoctl, t.SetControllerReadPatrolPolicy(h, true, r)),
       Mgmt(49, 0x4805C).Id(32, kController).U8(48, 0x80), "Unable to set read patrol policy."},
      {"EnableRohi", OPERATION(SetControllerRohiPolicyIoctl, t.SetControllerRohiPolicy(h, true, r)),
       Mgmt(49, 0x48058).Id(32, kController).U8(48, 0x80), "Unable to set controller rohi policy."},
      {"GetExecutorInformation",
       OPERATION(GetExecutorInformationIoctl, t.GetExecutorInformation(h, r)), Mgmt(72, 0x44028),
       "Unable to retrieve executor information."},
      {"SetControllerRate",
       OPERATION(SetControllerRateIoctl, t.SetControllerRate(h, 0x01020304, r)),
       Mgmt(52, 0x4806C).Id(32, kController).U32(48, 0x01020304), "Unable to set controller rate."},
      {"GetAllArrayInfo", OPERATION(GetArrayInfoIoctl, t.GetArrayInfo(h, 1000, r)),
       Mgmt(1000, 0x44020), "Unable to retrieve array information."},
      {"GetArrayInfo",
       OPERATION(GetArrayInfoIoctl, t.GetArrayInfo(h, kController, VESK_SCOPE_CONTROLLER, 299, r)),
       Mgmt(299, 0x44020).U8(32, 1).Id(33, kController), "Unable to retrieve array information."},
      {"GetSingleArrayInfo", OPERATION(GetSingleArrayInfoIoctl, t.GetSingleArrayInfo(h, kArray, r)),
       Mgmt(102, 0x44020).U8(32, 2).Id(33, kArray), "Unable to retrieve single array information."},
      {"SetArrayCachePolicy",
       OPERATION(SetArrayCachePolicyIoctl, t.SetArrayCachePolicy(h, kArray, true, r)),
       Mgmt(49, 0x48054).Id(32, kArray).U8(48, 0x80), "Unable to set array cache policy."},
      {"GetAllVolumeInfo", OPERATION(GetVolumeInfoIoctl, t.GetVolumeInfo(h, 500, r)),
       Mgmt(500, 0x44014), "Unable to retrieve volume information."},
      {"GetVolumeInfo",
       OPERATION(GetVolumeInfoIoctl,
                 t.GetVolumeInfo(h, kController, VESK_SCOPE_CONTROLLER, 410, 1, r)),
       Mgmt(410, 0x44014, 1).U8(32, 1).Id(33, kController),
       "Unable to retrieve volume information."},
      {"GetSingleVolumeInfo",
       OPERATION(GetSingleVolumeInfoIoctl, t.GetSingleVolumeInfo(h, kVolume, r)),
       Mgmt(147, 0x44014).U8(32, 3).Id(33, kVolume),
       "Unable to retrieve single volume information."},
      {"AddDrivesToArray",
       OPERATION(AddDrivesToArrayIoctl, t.AddDrivesToArray(h, kArray, {kDrive, kDrive2}, r)),
       Mgmt(82, 0x48048).Id(32, kArray).U16(48, 2).Id(50, kDrive).Id(66, kDrive2),
       "Unable to add drives to array."},
      {"AddNoDrivesToArray", OPERATION(AddDrivesToArrayIoctl, t.AddDrivesToArray(h, kArray, {}, r)),
       Mgmt(50, 0x48048).Id(32, kArray), "Unable to add drives to array."},
      {"CancelVerifyVolume",
       OPERATION(CancelVerifyVolumeIoctl, t.CancelVerifyVolume(h, kVolume, r)),
       Mgmt(48, 0x48040).Id(32, kVolume), "Unable to cancel volume verification."},
      {"ChangeRaidLayout",
       OPERATION(ChangeRaidLayoutIoctl,
                 t.ChangeRaidLayout(h, kVolume, static_cast<vesk_strip_size>(0x0100), VESK_RAID_5,
                                    {kDrive}, r)),
       Mgmt(69, 0x48034).Id(32, kVolume).U16(48, 0x0100).U8(50, 4).U16(51, 1).Id(53, kDrive),
       "Unable to change RAID layout."},
      {"ChangeRaidLayoutNoDrives",
       OPERATION(ChangeRaidLayoutIoctl,
                 t.ChangeRaidLayout(h, kVolume, static_cast<vesk_strip_size>(0x0100), VESK_RAID_0,
                                    {}, r)),
       Mgmt(53, 0x48034).Id(32, kVolume).U16(48, 0x0100).U8(50, 1),
       "Unable to change RAID layout."},
      {"CreateVolume",
       OPERATION(CreateVolumeIoctl, t.CreateVolume(h, NewVolume(), {kDrive, kDrive2}, r)),
       Mgmt(126, 0x48000)
           .U16(32, 2)
           .Text(34, "SixteenCharsName")
           .U16(50, 0x0080)
           .U8(52, 4)
           .U64(53, 0x1122334455667788)
           .U8(61, 0x24)
           .Id(62, kDrive)
           .Id(78, kJournal)
           .Id(94, kDrive)
           .Id(110, kDrive2),
       "Unable to create volume."},
      {"DeleteVolume", OPERATION(DeleteVolumeIoctl, t.DeleteVolume(h, kVolume, r)),
       Mgmt(48, 0x48028).Id(32, kVolume), "Unable to delete volume."},
      {"ExpandVolume",
       OPERATION(ExpandVolumeIoctl, t.ExpandVolume(h, kVolume, 0x0102030405060708, r)),
       Mgmt(56, 0x48030).Id(32, kVolume).U64(48, 0x0102030405060708), "Unable to expand volume."},
      {"InitializeVolume", OPERATION(InitializeVolumeIoctl, t.InitializeVolume(h, kVolume, r)),
       Mgmt(48, 0x48044).Id(32, kVolume), "Unable to initialize volume."},
      {"MarkVolumeAsNormal",
       OPERATION(MarkVolumeAsNormalIoctl, t.MarkVolumeAsNormal(h, kVolume, r)),
       Mgmt(48, 0x48024).Id(32, kVolume), "Unable to mark volume as normal."},
      {"RebuildVolume", OPERATION(RebuildVolumeIoctl, t.RebuildVolume(h, kVolume, {kDrive}, r)),
       Mgmt(66, 0x4802C).Id(32, kVolume).U16(48, 1).Id(50, kDrive), "Unable to rebuild volume."},
      {"RenameVolumeTooLong",
       OPERATION(RenameVolumeIoctl, t.RenameVolume(h, kVolume, "ABCDEFGHIJKLMNOPQRST", r)),
       Mgmt(64, 0x48038).Id(32, kVolume).Text(48, "ABCDEFGHIJKLMNOP"), "Unable to rename volume."},
      {"SetVolumeCachePolicy",
       OPERATION(SetVolumeCachePolicyIoctl,
                 t.SetVolumeCachePolicy(h, kVolume, static_cast<vesk_volume_cache_policy>(1), r)),
       Mgmt(49, 0x4804C).Id(32, kVolume).U8(48, 0x10), "Unable to set volume cache policy."},
      {"SetVolumeRaidWriteHolePolicy",
       OPERATION(SetVolumeRaidWriteHolePolicyIoctl,
                 t.SetVolumeRaidWriteHolePolicy(h, kVolume, static_cast<vesk_rwh_policy>(2),
                                                kJournal, r)),
       Mgmt(65, 0x48050).Id(32, kVolume).U8(48, 0x20).Id(49, kJournal),
       "Unable to set volume RWH policy."},
      {"VerifyVolumeRepair", OPERATION(VerifyVolumeIoctl, t.VerifyVolume(h, kVolume, true, r)),
       Mgmt(49, 0x4803C).Id(32, kVolume).U8(48, 1), "Unable to verify volume."},
      {"GetDriveInfo",
       OPERATION(GetDriveInfoIoctl, t.GetDriveInfo(h, kDrive, VESK_SCOPE_DRIVE, 241, 2, r)),
       Mgmt(241, 0x4400C, 2).U8(32, 4).Id(33, kDrive), "Unable to retrieve drive information."},
      {"ActivateDriveLed", OPERATION(ActivateDriveLedIoctl, t.ActivateDriveLed(h, kDrive, true, r)),
       Mgmt(49, 0x4801C, 1).Id(32, kDrive).U8(48, 1), "Unable to activate drive LED."},
      {"ActivateDriveLedLegacy",
       OPERATION(ActivateDriveLedLegacyIoctl, t.ActivateDriveLedLegacy(h, kDrive, r)),
       Mgmt(49, 0x4801C, 0).Id(32, kDrive), "Unable to activate drive LED."},
      {"ClearDriveMetadata", OPERATION(ClearDriveMetadataIoctl, t.ClearDriveMetadata(h, kDrive, r)),
       Mgmt(48, 0x4800C).Id(32, kDrive), "Unable to clear drive metadata."},
      {"MarkDriveAsNormal", OPERATION(MarkDriveAsNormalIoctl, t.MarkDriveAsNormal(h, kDrive, r)),
       Mgmt(48, 0x48010).Id(32, kDrive), "Unable to mark drive as normal."},
      {"MarkDriveAsSpare", OPERATION(MarkDriveAsSpareIoctl, t.MarkDriveAsSpare(h, kDrive, r)),
       Mgmt(48, 0x48004).Id(32, kDrive), "Unable to mark drive as spare."},
      {"RemoveDrive", OPERATION(RemoveDriveIoctl, t.RemoveDrive(h, kDrive, r)),
       Mgmt(48, 0x48020).Id(32, kDrive), "Unable to remove drive."},
      {"ResetSmartEvent", OPERATION(ResetSmartEventIoctl, t.ResetSmartEvent(h, kDrive, r)),
       Mgmt(48, 0x48018).Id(32, kDrive), "Unable to reset SMART event from drive."},
      {"SetWriteCacheOnDrive",
       OPERATION(SetWriteCacheOnDriveIoctl, t.SetWriteCacheOnDrive(h, kDrive, true, r)),
       Mgmt(49, 0x48014).Id(32, kDrive).U8(48, 0x80), "Unable to set write cache on drive."},
      {"UnmarkSpareDrive", OPERATION(UnmarkSpareDriveIoctl, t.UnmarkSpareDrive(h, kDrive, r)),
       Mgmt(48, 0x48008).Id(32, kDrive), "Unable to unmark spare drive."},
      {"SanitizeDriveLegacy",
       OPERATION(SanitizeDriveLegacyIoctl, t.SanitizeDriveLegacy(h, kDrive, 5, r)),
       Mgmt(73, 0x48068).Id(32, kDrive).U8(48, 0xA0), "Unable to sanitize drive."},
      {"SanitizeDrive",
       OPERATION(SanitizeDriveIoctl,
                 t.SanitizeDrive(h, kDrive, 3, true, false, 0xA, true, 0xCAFEBABE, r)),
       Mgmt(73, 0x48068).Id(49, kDrive).U32(65, 0x2AB).U32(69, 0xCAFEBABE),
       "Unable to sanitize drive."},
      {"SanitizeDriveOptionB",
       OPERATION(SanitizeDriveIoctl, t.SanitizeDrive(h, kDrive, 0, false, true, 0, false, 0, r)),
       Mgmt(73, 0x48068).Id(49, kDrive).U32(65, 0x100), "Unable to sanitize drive."},
      {"GetDriveIdentifiers",
       OPERATION(GetDriveIdentifiersIoctl,
                 t.GetDriveIdentifiers(h, vesk_invalid_guid, VESK_SCOPE_NONE, 34 + 16 * 8, r)),
       Mgmt(162, 0x44010), "Unable to retrieve drive identifiers."},
      {"GetVolumeIdentifiers",
       OPERATION(GetVolumeIdentifiersIoctl,
                 t.GetVolumeIdentifiers(h, kArray, VESK_SCOPE_ARRAY, 290, r)),
       Mgmt(290, 0x44018).U8(32, 2).Id(33, kArray), "Unable to retrieve volume identifiers."},
      {"GetArrayIdentifiers",
       OPERATION(GetArrayIdentifiersIoctl,
                 t.GetArrayIdentifiers(h, kController, VESK_SCOPE_CONTROLLER, 290, r)),
       Mgmt(290, 0x44024).U8(32, 1).Id(33, kController), "Unable to retrieve array identifiers."},
      {"GetControllerIdentifiers",
       OPERATION(GetControllerIdentifiersIoctl,
                 t.GetControllerIdentifiers(h, vesk_invalid_guid, VESK_SCOPE_NONE, 4130, r)),
       Mgmt(4130, 0x44004), "Unable to retrieve controller identifiers."},
      {"CreateEventSubscription",
       OPERATION(CreateEventSubscriptionIoctl,
                 t.CreateEventSubscription(h, kSubscription, 0x5A, {9, 8, 7}, r)),
       Mgmt(53, 0x48060).Id(32, kSubscription).U8(48, 0x5A).U8(49, 3).Bytes(50, {9, 8, 7}),
       "Unable to create event subscription."},
      {"CreateEventSubscriptionNoEntries",
       OPERATION(CreateEventSubscriptionIoctl,
                 t.CreateEventSubscription(h, kSubscription, 1, {}, r)),
       Mgmt(50, 0x48060).Id(32, kSubscription).U8(48, 1), "Unable to create event subscription."},
      {"CreateEventSubscriptionFull",
       OPERATION(CreateEventSubscriptionIoctl,
                 t.CreateEventSubscription(h, kSubscription, 0, Counting(255, 1), r)),
       Mgmt(305, 0x48060).Id(32, kSubscription).U8(49, 255).Bytes(50, Counting(255, 1)),
       "Unable to create event subscription."},
      {"CancelEventSubscription",
       OPERATION(CancelEventSubscriptionIoctl, t.CancelEventSubscription(h, kSubscription, r)),
       Mgmt(48, 0x48064).Id(32, kSubscription), "Unable to cancel event subscription."},
      {"GetEvents", OPERATION(GetEventsIoctl, t.GetEvents(h, kSubscription, 0x11223344, r)),
       Mgmt(544, 0x4402C).Id(32, kSubscription).U32(48, 0x11223344), "Unable to get events."},
      {"PerformAction", OPERATION(OOB::PerformActionIoctl, t.PerformAction(h, 0xDEADBEEF, r)),
       WireImage::OutOfBand(32, 0x48000).U32(28, 0xDEADBEEF), "Unable to perform an action.", true},
      {"SendData", OPERATION(OOB::SendDataIoctl, t.SendData(h, SendPayload(), r)),
       WireImage::OutOfBand(96, 0x48004).Bytes(28, Counting(64, 1)).U32(92, 0x55667788),
       "Unable to send data.", true},
      {"ReceiveData", OPERATION(OOB::ReceiveDataIoctl, t.ReceiveData(h, r)),
       WireImage::OutOfBand(96, 0x44000), "Unable to receive data.", true},
  };
}

class Communication : public testing::Test {
 protected:
  void SetUp() override {
    vesk::sim::DeviceSpec description;
    description.pdoName = kPdoName;
    description.backend = backend;
    machine.AddDevice(description);
    HANDLE file = CreateFile2(kDevicePath, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    handle = std::make_shared<VeskControllerHandle>(file, std::make_unique<Device>(kDevicePath));
    handle->controllerId = kController;
    // Controller identifier answers must list at least one controller.
    backend->reply.answer = {{32, {2, 0}}};
  }

  void ExpectSent(const std::vector<std::uint8_t>& expected) {
    const auto calls = backend->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].controlCode, IOCTL_SCSI_MINIPORT);
    EXPECT_EQ(calls[0].outSize, expected.size());
    EXPECT_TRUE(calls[0].sameBuffer) << "the answer overwrites the request in place";
    EXPECT_EQ(calls[0].in, expected) << test::DescribeDifference(calls[0].in, expected);
  }

  // `call` must throw a TaluException (never the VeskException of a driver status) with
  // `message`, and with `error` unless it is 0; nothing may have reached the device.
  template <class Call>
  void ExpectFailure(Call&& call, const std::string& message, DWORD error = 0) {
    try {
      call();
      ADD_FAILURE() << "no exception; expected " << message;
    } catch (const VeskException&) {
      ADD_FAILURE() << "a transport failure is not a driver status";
    } catch (const TaluException& e) {
      EXPECT_EQ(std::string(e.Message()), message);
      if (error != 0) {
        EXPECT_EQ(e.ErrorCode(), error) << message;
      }
    }
  }

  vesk::sim::Machine machine;
  std::shared_ptr<RecordingBackend> backend = std::make_shared<RecordingBackend>();
  std::shared_ptr<VeskControllerHandle> handle;
  IoCommunication<SynchronousIoctl> sync;
  IoCommunication<AsynchronousIoctl> async;
};

class EveryOperation : public Communication, public testing::WithParamInterface<Case> {};

TEST_P(EveryOperation, BothTablesSendTheRequestByteForByte) {
  EXPECT_TRUE(GetParam().sync(sync, handle.get()));
  ExpectSent(GetParam().expected);
  backend->Clear();
  EXPECT_TRUE(GetParam().async(async, handle.get()));
  ExpectSent(GetParam().expected);
}

// The synchronous table throws the operation's message with the call's error; the asynchronous
// one hands the request back and leaves the failure to its caller.
TEST_P(EveryOperation, FailedDeviceCallThrowsItsMessageWithTheCallsError) {
  backend->reply.ok = false;
  backend->reply.lastError = ERROR_IO_DEVICE;
  ExpectFailure([&] { GetParam().sync(sync, handle.get()); }, GetParam().failure, ERROR_IO_DEVICE);
  EXPECT_TRUE(GetParam().async(async, handle.get()));
}

TEST_P(EveryOperation, ReturnCodeBeyondSixteenBitsIsATransportFailureForManagementRequests) {
  backend->reply.returnCode = 0x10000;
  if (GetParam().outOfBand) {
    EXPECT_TRUE(GetParam().sync(sync, handle.get())) << "out-of-band requests have no status";
  } else {
    ExpectFailure([&] { GetParam().sync(sync, handle.get()); }, GetParam().failure);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, EveryOperation, testing::ValuesIn(Operations()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// A refusal names no identifiers, so even a zero count is left for the caller to report.
TEST_F(Communication, NonZeroStatusIsReturnedNotThrownWhateverTheIdentifierCount) {
  backend->reply.answer = {{32, {0, 0}}};
  for (std::uint32_t code : {7u, 0xFFFFu}) {
    backend->reply.returnCode = code;
    RequestPtr<GetControllerIdentifiersIoctl<SynchronousIoctl>> request;
    sync.GetControllerIdentifiers(handle.get(), vesk_invalid_guid, VESK_SCOPE_NONE, 4130, request);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->Status(), code);
  }
}

TEST_F(Communication, AnswerIsReadFromTheReturnedRequest) {
  backend->reply.answer = {{32, {1, 0}}, {34, Counting(16, 0x90)}};
  RequestPtr<GetControllerIdentifiersIoctl<SynchronousIoctl>> request;
  sync.GetControllerIdentifiers(handle.get(), vesk_invalid_guid, VESK_SCOPE_NONE, 4130, request);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(std::uint16_t{request->Request()->record.count}, 1);
  EXPECT_EQ(std::vector<std::uint8_t>(request->Buffer() + 34, request->Buffer() + 50),
            Counting(16, 0x90));
}

TEST_F(Communication, NullControllerHandleIsRefusedBeforeAnythingIsSent) {
  const std::vector<Refusal> refusals = {
      {OPERATION(SetControllerReadPatrolPolicyIoctl, t.SetControllerReadPatrolPolicy(h, true, r)),
       "Unable to set read patrol policy."},
      {OPERATION(SetControllerRohiPolicyIoctl, t.SetControllerRohiPolicy(h, true, r)),
       "Unable to set controller rohi policy."},
      {OPERATION(SetControllerRateIoctl, t.SetControllerRate(h, 1, r)),
       "Unable to set controller rate."},
  };
  for (const auto& refusal : refusals) {
    ExpectFailure([&] { refusal.sync(sync, nullptr); }, refusal.failure);
    ExpectFailure([&] { refusal.async(async, nullptr); }, refusal.failure);
  }
  EXPECT_TRUE(backend->Calls().empty());
}

TEST_F(Communication, PlainDeviceHandleSendsTheEmptyControllerIdentifier) {
  HANDLE file = CreateFile2(kDevicePath, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  auto plain = std::make_shared<DeviceHandle>(file, std::make_unique<Device>(kDevicePath));
  RequestPtr<SetControllerRateIoctl<SynchronousIoctl>> request;
  sync.SetControllerRate(plain.get(), 9, request);
  ExpectSent(Mgmt(52, 0x4806C).U32(48, 9).bytes);
}

TEST_F(Communication, ZeroControllerIdentifiersIsAFailureOfItsOwn) {
  backend->reply.answer = {{32, {0, 0}}};
  RequestPtr<GetControllerIdentifiersIoctl<SynchronousIoctl>> request;
  ExpectFailure(
      [&] {
        sync.GetControllerIdentifiers(handle.get(), vesk_invalid_guid, VESK_SCOPE_NONE, 4130,
                                      request);
      },
      "Zero controller identifiers count retrieved. Expected at least one.", ERROR_INVALID_DATA);
  EXPECT_EQ(request, nullptr);
}

TEST_F(Communication, AsynchronousTableLeavesTheIdentifierCountToTheCaller) {
  backend->reply.answer = {{32, {0, 0}}};
  RequestPtr<GetControllerIdentifiersIoctl<AsynchronousIoctl>> request;
  async.GetControllerIdentifiers(handle.get(), vesk_invalid_guid, VESK_SCOPE_NONE, 4130, request);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->Result(), 1);
  EXPECT_EQ(std::uint16_t{request->Request()->record.count}, 0);
}

TEST_F(Communication, LockFailurePropagatesAndLeavesNoRequest) {
  // Another thread holds the device's mutex while the device goes away.
  std::promise<void> owned, done;
  std::thread owner([&] {
    ASSERT_EQ(WaitForSingleObject(handle->mutex, 1000), WAIT_OBJECT_0);
    owned.set_value();
    done.get_future().wait();
    ReleaseMutex(handle->mutex);
  });
  owned.get_future().wait();
  ASSERT_TRUE(SetEvent(handle->exitEvent));
  RequestPtr<DeleteVolumeIoctl<SynchronousIoctl>> request;
  ExpectFailure([&] { sync.DeleteVolume(handle.get(), kVolume, request); },
                "Mutex wait for device was signaled to exit.");
  done.set_value();
  owner.join();
  EXPECT_EQ(request, nullptr);
  EXPECT_TRUE(backend->Calls().empty());
}

// Requests the library cannot express are refused with the operation's message and
// ERROR_INVALID_PARAMETER, before anything is sent.
TEST_F(Communication, ArgumentsBeyondTheWireFieldsAreRefused) {
  const std::vector<Refusal> refusals = {
      {OPERATION(AddDrivesToArrayIoctl, t.AddDrivesToArray(h, kArray, TooManyDrives(), r)),
       "Unable to add drives to array."},
      {OPERATION(RebuildVolumeIoctl, t.RebuildVolume(h, kVolume, TooManyDrives(), r)),
       "Unable to rebuild volume."},
      {OPERATION(ChangeRaidLayoutIoctl,
                 t.ChangeRaidLayout(h, kVolume, {}, VESK_RAID_0, TooManyDrives(), r)),
       "Unable to change RAID layout."},
      {OPERATION(CreateVolumeIoctl, t.CreateVolume(h, {}, TooManyDrives(), r)),
       "Unable to create volume."},
      {OPERATION(CreateEventSubscriptionIoctl,
                 t.CreateEventSubscription(h, kSubscription, 0, Counting(256, 0), r)),
       "Unable to create event subscription."},
      {OPERATION(GetControllerInfoIoctl,
                 t.GetControllerInfo(h, kController, VESK_SCOPE_CONTROLLER, 48, 3, r)),
       "Unable to retrieve controller information."},
  };
  for (const auto& refusal : refusals) {
    ExpectFailure([&] { refusal.sync(sync, handle.get()); }, refusal.failure,
                  ERROR_INVALID_PARAMETER);
    ExpectFailure([&] { refusal.async(async, handle.get()); }, refusal.failure,
                  ERROR_INVALID_PARAMETER);
  }
  EXPECT_TRUE(backend->Calls().empty());
}

TEST_F(Communication, LongestDriveListStillFits) {
  const std::vector<vesk_guid> drives(0xFFFF, kDrive2);
  RequestPtr<AddDrivesToArrayIoctl<SynchronousIoctl>> request;
  sync.AddDrivesToArray(handle.get(), kArray, drives, request);
  const auto calls = backend->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].in.size(), 50u + 16u * 0xFFFF);
  EXPECT_EQ(calls[0].in[48], 0xFF);
  EXPECT_EQ(calls[0].in[49], 0xFF);
}

TEST_F(Communication, AsynchronousOperationReturnsAtOnceAndReleaseWaitsForTheCall) {
  backend->Hold();
  RequestPtr<DeleteVolumeIoctl<AsynchronousIoctl>> request;
  async.DeleteVolume(handle.get(), kVolume, request);
  ASSERT_NE(request, nullptr) << "returned while the device still holds the call";

  std::atomic<bool> released{false};
  std::thread releaser([&] {
    request.reset();
    released = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(released) << "the request went while its call was running";
  EXPECT_EQ(backend->Completed(), 0);
  backend->Release();
  releaser.join();
  EXPECT_TRUE(released);
  EXPECT_EQ(backend->Completed(), 1);
}

TEST_F(Communication, AsynchronousFailureEndsAsResultZero) {
  backend->reply.ok = false;
  backend->reply.lastError = ERROR_IO_DEVICE;
  RequestPtr<DeleteVolumeIoctl<AsynchronousIoctl>> request;
  async.DeleteVolume(handle.get(), kVolume, request);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->Result(), 0);
}

}  // namespace
}  // namespace Vesk
