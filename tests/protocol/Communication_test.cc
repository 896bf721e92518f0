// The driver operation table against a recording device: the requests only this table makes
// (queries, events, out-of-band, sanitizing), byte for byte as the device receives them, how each
// operation reports a failed device call, and what is refused before anything is sent. The
// requests behind the managed operations are checked end to end with the managed face.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
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

// Records every call's input bytes and answers as scripted: a failed call with `failWith`, or the
// return code at offset 20 and the identifier count at offset 32.
class RecordingBackend : public vesk::sim::DeviceBackend {
 public:
  struct Call {
    DWORD controlCode;
    std::vector<std::uint8_t> in;
    DWORD outSize;
    bool sameBuffer;
  };

  vesk::sim::IoResult Control(const vesk::sim::IoControl& call) override {
    calls.push_back({call.controlCode, std::vector<std::uint8_t>(call.in, call.in + call.inSize),
                     call.outSize, call.in == call.out});
    if (failWith != ERROR_SUCCESS) return {false, 0, failWith};
    std::memcpy(call.out + 20, &returnCode, 4);
    if (call.outSize >= 34) std::memcpy(call.out + 32, &identifierCount, 2);
    return {true, call.outSize, ERROR_SUCCESS};
  }

  DWORD failWith = ERROR_SUCCESS;
  std::uint32_t returnCode = 0;
  // Controller identifier answers must list at least one controller.
  std::uint16_t identifierCount = 2;
  std::vector<Call> calls;
};

const vesk_guid kController = TestId(0x10);
const vesk_guid kArray = TestId(0x20);
const vesk_guid kVolume = TestId(0x30);
const vesk_guid kDrive = TestId(0x40);
const vesk_guid kSubscription = TestId(0x70);
const wchar_t kPdoName[] = L"\\Device\\00000031";
const wchar_t kDevicePath[] = L"\\\\?\\Global\\GlobalRoot\\Device\\00000031";

using Table = IoCommunication<SynchronousIoctl>;

// Runs one operation; true when it handed back a request. A failure must leave no request behind.
#define OPERATION(REQUEST, CALL)                                      \
  [](Table& t, DeviceHandle* h) {                                     \
    RequestPtr<REQUEST<SynchronousIoctl>> r;                          \
    try {                                                             \
      CALL;                                                           \
    } catch (...) {                                                   \
      EXPECT_EQ(r, nullptr) << "a failed operation left its request"; \
      throw;                                                          \
    }                                                                 \
    return r != nullptr;                                              \
  }

using Call = std::function<bool(Table&, DeviceHandle*)>;

std::string Failed(const char* what) { return std::string(what) + " IOCTL was unsuccessful."; }

struct Case {
  std::string name;
  Call call;
  WireImage expected;
  const char* what;  // the failure message without its common ending
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

// An operation refused before anything is sent.
struct Refusal {
  Call call;
  const char* what;
};

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

std::vector<vesk_guid> TooManyDrives() { return std::vector<vesk_guid>(0x10000, kDrive); }

std::vector<Case> Operations() {
  return {
      {"GetControllerInfo",
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
      {"GetExecutorInformation",
       OPERATION(GetExecutorInformationIoctl, t.GetExecutorInformation(h, r)), Mgmt(72, 0x44028),
       "Unable to retrieve executor information."},
      {"SetControllerRate",
       OPERATION(SetControllerRateIoctl, t.SetControllerRate(h, 0x01020304, r)),
       Mgmt(52, 0x4806C).Id(32, kController).U32(48, 0x01020304), "Unable to set controller rate."},
      {"GetArrayInfo",
       OPERATION(GetArrayInfoIoctl, t.GetArrayInfo(h, kController, VESK_SCOPE_CONTROLLER, 299, r)),
       Mgmt(299, 0x44020).U8(32, 1).Id(33, kController), "Unable to retrieve array information."},
      {"GetSingleArrayInfo", OPERATION(GetSingleArrayInfoIoctl, t.GetSingleArrayInfo(h, kArray, r)),
       Mgmt(102, 0x44020).U8(32, 2).Id(33, kArray), "Unable to retrieve single array information."},
      {"GetVolumeInfo",
       OPERATION(GetVolumeInfoIoctl,
                 t.GetVolumeInfo(h, kController, VESK_SCOPE_CONTROLLER, 410, 1, r)),
       Mgmt(410, 0x44014, 1).U8(32, 1).Id(33, kController),
       "Unable to retrieve volume information."},
      {"GetSingleVolumeInfo",
       OPERATION(GetSingleVolumeInfoIoctl, t.GetSingleVolumeInfo(h, kVolume, r)),
       Mgmt(147, 0x44014).U8(32, 3).Id(33, kVolume),
       "Unable to retrieve single volume information."},
      {"RenameVolumeTooLong",
       OPERATION(RenameVolumeIoctl, t.RenameVolume(h, kVolume, "ABCDEFGHIJKLMNOPQRST", r)),
       Mgmt(64, 0x48038).Id(32, kVolume).Text(48, "ABCDEFGHIJKLMNOP"), "Unable to rename volume."},
      {"GetDriveInfo",
       OPERATION(GetDriveInfoIoctl, t.GetDriveInfo(h, kDrive, VESK_SCOPE_DRIVE, 241, 2, r)),
       Mgmt(241, 0x4400C, 2).U8(32, 4).Id(33, kDrive), "Unable to retrieve drive information."},
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
      {"CreateEventSubscriptionFull",
       OPERATION(CreateEventSubscriptionIoctl,
                 t.CreateEventSubscription(h, kSubscription, 0x5A, Counting(255, 1), r)),
       Mgmt(305, 0x48060)
           .Id(32, kSubscription)
           .U8(48, 0x5A)
           .U8(49, 255)
           .Bytes(50, Counting(255, 1)),
       "Unable to create event subscription."},
      {"CancelEventSubscription",
       OPERATION(CancelEventSubscriptionIoctl, t.CancelEventSubscription(h, kSubscription, r)),
       Mgmt(48, 0x48064).Id(32, kSubscription), "Unable to cancel event subscription."},
      {"GetEvents", OPERATION(GetEventsIoctl, t.GetEvents(h, kSubscription, 0x11223344, r)),
       Mgmt(544, 0x4402C).Id(32, kSubscription).U32(48, 0x11223344), "Unable to get events."},
      {"PerformAction", OPERATION(OOB::PerformActionIoctl, t.PerformAction(h, 0xDEADBEEF, r)),
       WireImage::OutOfBand(32, 0x48000).U32(28, 0xDEADBEEF), "Unable to perform an action."},
      {"SendData", OPERATION(OOB::SendDataIoctl, t.SendData(h, SendPayload(), r)),
       WireImage::OutOfBand(96, 0x48004).Bytes(28, Counting(64, 1)).U32(92, 0x55667788),
       "Unable to send data."},
      {"ReceiveData", OPERATION(OOB::ReceiveDataIoctl, t.ReceiveData(h, r)),
       WireImage::OutOfBand(96, 0x44000), "Unable to receive data."},
  };
}

class Communication : public testing::Test {
 protected:
  void SetUp() override {
    vesk::sim::DeviceSpec description;
    description.pdoName = kPdoName;
    description.backend = backend;
    machine.AddDevice(description);
    handle = std::make_shared<VeskControllerHandle>(Open(), std::make_unique<Device>(kDevicePath));
    handle->controllerId = kController;
  }

  static HANDLE Open() {
    return CreateFile2(kDevicePath, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, nullptr);
  }

  void ExpectSent(const std::vector<std::uint8_t>& expected) {
    ASSERT_EQ(backend->calls.size(), 1u);
    const auto& call = backend->calls[0];
    EXPECT_EQ(call.controlCode, IOCTL_SCSI_MINIPORT);
    EXPECT_EQ(call.outSize, expected.size());
    EXPECT_TRUE(call.sameBuffer) << "the answer overwrites the request in place";
    EXPECT_EQ(call.in, expected) << test::DescribeDifference(call.in, expected);
  }

  // `call` must throw a TaluException (never the VeskException of a driver status) with
  // `message`, and with `error` unless it is 0.
  template <class F>
  void ExpectFailure(F&& call, const std::string& message, DWORD error = 0) {
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
  Table sync;
};

class EveryOperation : public Communication, public testing::WithParamInterface<Case> {};

TEST_P(EveryOperation, SendsItsRequestByteForByteAndAFailedCallThrowsItsMessage) {
  EXPECT_TRUE(GetParam().call(sync, handle.get()));
  ExpectSent(GetParam().expected.bytes);
  backend->failWith = ERROR_IO_DEVICE;
  ExpectFailure([&] { GetParam().call(sync, handle.get()); }, Failed(GetParam().what),
                ERROR_IO_DEVICE);
}

INSTANTIATE_TEST_SUITE_P(Table, EveryOperation, testing::ValuesIn(Operations()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// A refusal names no identifiers, so even a zero count is left for the caller to report.
TEST_F(Communication, NonZeroStatusIsReturnedNotThrownWhateverTheIdentifierCount) {
  backend->identifierCount = 0;
  for (std::uint32_t code : {7u, 0xFFFFu}) {
    backend->returnCode = code;
    RequestPtr<GetControllerIdentifiersIoctl<SynchronousIoctl>> request;
    sync.GetControllerIdentifiers(handle.get(), vesk_invalid_guid, VESK_SCOPE_NONE, 4130, request);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->Status(), code);
  }
}

TEST_F(Communication, ZeroControllerIdentifiersIsAFailureOfItsOwn) {
  backend->identifierCount = 0;
  RequestPtr<GetControllerIdentifiersIoctl<SynchronousIoctl>> request;
  ExpectFailure(
      [&] {
        sync.GetControllerIdentifiers(handle.get(), vesk_invalid_guid, VESK_SCOPE_NONE, 4130,
                                      request);
      },
      "Zero controller identifiers count retrieved. Expected at least one.", ERROR_INVALID_DATA);
  EXPECT_EQ(request, nullptr);
}

// The call may still be filling the buffer when the asynchronous table returns.
TEST_F(Communication, AsynchronousTableLeavesTheIdentifierCountToTheCaller) {
  backend->identifierCount = 0;
  IoCommunication<AsynchronousIoctl> async;
  RequestPtr<GetControllerIdentifiersIoctl<AsynchronousIoctl>> request;
  async.GetControllerIdentifiers(handle.get(), vesk_invalid_guid, VESK_SCOPE_NONE, 4130, request);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->Result(), 1);
  EXPECT_EQ(std::uint16_t{request->Request()->record.count}, 0);
}

TEST_F(Communication, PlainDeviceHandleSendsTheEmptyControllerIdentifier) {
  auto plain = std::make_shared<DeviceHandle>(Open(), std::make_unique<Device>(kDevicePath));
  RequestPtr<SetControllerRateIoctl<SynchronousIoctl>> request;
  sync.SetControllerRate(plain.get(), 9, request);
  ExpectSent(Mgmt(52, 0x4806C).U32(48, 9).bytes);
}

// A device on its way out fails the lock; the request goes with the exception.
TEST_F(Communication, LockFailurePropagatesAndLeavesNoRequest) {
  ASSERT_TRUE(SetEvent(handle->exitEvent));
  RequestPtr<DeleteVolumeIoctl<SynchronousIoctl>> request;
  ExpectFailure([&] { sync.DeleteVolume(handle.get(), kVolume, request); },
                "Mutex wait for device was signaled to exit.");
  EXPECT_EQ(request, nullptr);
  EXPECT_TRUE(backend->calls.empty());
}

// Requests the library cannot express are refused with the operation's message, before anything
// is sent: without a controller handle, or with arguments beyond their wire fields
// (ERROR_INVALID_PARAMETER). The longest drive list still fits.
TEST_F(Communication, ArgumentsBeyondTheWireFieldsAndMissingControllersAreRefused) {
  const std::vector<Refusal> withoutController = {
      {OPERATION(SetControllerReadPatrolPolicyIoctl, t.SetControllerReadPatrolPolicy(h, true, r)),
       "Unable to set read patrol policy."},
      {OPERATION(SetControllerRohiPolicyIoctl, t.SetControllerRohiPolicy(h, true, r)),
       "Unable to set controller rohi policy."},
      {OPERATION(SetControllerRateIoctl, t.SetControllerRate(h, 1, r)),
       "Unable to set controller rate."},
  };
  for (const auto& refusal : withoutController) {
    ExpectFailure([&] { refusal.call(sync, nullptr); }, Failed(refusal.what));
  }
  const std::vector<Refusal> beyondTheirFields = {
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
  for (const auto& refusal : beyondTheirFields) {
    ExpectFailure([&] { refusal.call(sync, handle.get()); }, Failed(refusal.what),
                  ERROR_INVALID_PARAMETER);
  }
  EXPECT_TRUE(backend->calls.empty());

  RequestPtr<AddDrivesToArrayIoctl<SynchronousIoctl>> request;
  sync.AddDrivesToArray(handle.get(), kArray, std::vector<vesk_guid>(0xFFFF, kDrive), request);
  ASSERT_EQ(backend->calls.size(), 1u);
  EXPECT_EQ(backend->calls[0].in.size(), 50u + 16u * 0xFFFF);
}

}  // namespace
}  // namespace Vesk
