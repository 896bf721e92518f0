// The driver operation table against a recording device: the requests only this table makes
// (queries, events, out-of-band, sanitizing), byte for byte as the device receives them, how each
// operation reports a failed device call, and what is refused before anything is sent. The bytes
// of the requests behind the managed operations are checked end to end with the managed face.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <tuple>
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

using Call = std::function<bool(Table&, DeviceHandle*)>;

// The scoped forms of the two overloaded queries.
using ScopedArrays = void (Table::*)(DeviceHandle*, const vesk_guid&, vesk_scope_type,
                                     std::uint32_t,
                                     RequestPtr<GetArrayInfoIoctl<SynchronousIoctl>>&);
using ScopedVolumes = void (Table::*)(DeviceHandle*, const vesk_guid&, vesk_scope_type,
                                      std::uint32_t, std::uint32_t,
                                      RequestPtr<GetVolumeInfoIoctl<SynchronousIoctl>>&);

template <class Op>
struct RequestOf;
template <class... P>
struct RequestOf<void (Table::*)(DeviceHandle*, P...)> {
  using type = std::remove_reference_t<std::tuple_element_t<sizeof...(P) - 1, std::tuple<P...>>>;
};

// One operation with its arguments bound; the call is true when it hands back a request. A
// failure must leave no request behind.
template <class Op, class... Args>
Call Bind(Op op, Args... args) {
  return [=](Table& t, DeviceHandle* h) {
    typename RequestOf<Op>::type r;
    try {
      (t.*op)(h, args..., r);
    } catch (...) {
      EXPECT_EQ(r, nullptr) << "a failed operation left its request";
      throw;
    }
    return r != nullptr;
  };
}

std::string Failed(const char* what) { return std::string(what) + " IOCTL was unsuccessful."; }

struct Case {
  std::string name;
  Call call;
  WireImage expected;
  const char* what;  // the failure message without its common ending
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

// An operation and the first words of its failure message.
struct Failure {
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

std::vector<vesk_guid> Drives(std::size_t count) { return std::vector<vesk_guid>(count, kDrive); }

std::vector<Case> Operations() {
  return {
      {"GetControllerInfo",
       Bind(&Table::GetControllerInfo, kController, VESK_SCOPE_CONTROLLER, 369, 0),
       Mgmt(369, 0x44000, 0).U8(32, 1).Id(33, kController),
       "Unable to retrieve controller information."},
      {"GetControllerCapabilities", Bind(&Table::GetControllerCapabilities, kController),
       Mgmt(343, 0x44008, 1).Id(32, kController), "Unable to retrieve controller capabilities."},
      {"GetControllerCapabilitiesLegacy",
       Bind(&Table::GetControllerCapabilitiesLegacy, kController),
       Mgmt(83, 0x44008, 0).Id(32, kController), "Unable to retrieve controller capabilities."},
      {"GetExecutorInformation", Bind(&Table::GetExecutorInformation), Mgmt(72, 0x44028),
       "Unable to retrieve executor information."},
      {"SetControllerRate", Bind(&Table::SetControllerRate, 0x01020304),
       Mgmt(52, 0x4806C).Id(32, kController).U32(48, 0x01020304), "Unable to set controller rate."},
      {"GetArrayInfo",
       Bind(ScopedArrays(&Table::GetArrayInfo), kController, VESK_SCOPE_CONTROLLER, 299),
       Mgmt(299, 0x44020).U8(32, 1).Id(33, kController), "Unable to retrieve array information."},
      {"GetSingleArrayInfo", Bind(&Table::GetSingleArrayInfo, kArray),
       Mgmt(102, 0x44020).U8(32, 2).Id(33, kArray), "Unable to retrieve single array information."},
      {"GetVolumeInfo",
       Bind(ScopedVolumes(&Table::GetVolumeInfo), kController, VESK_SCOPE_CONTROLLER, 410, 1),
       Mgmt(410, 0x44014, 1).U8(32, 1).Id(33, kController),
       "Unable to retrieve volume information."},
      {"GetSingleVolumeInfo", Bind(&Table::GetSingleVolumeInfo, kVolume),
       Mgmt(147, 0x44014).U8(32, 3).Id(33, kVolume),
       "Unable to retrieve single volume information."},
      {"RenameVolumeTooLong", Bind(&Table::RenameVolume, kVolume, "ABCDEFGHIJKLMNOPQRST"),
       Mgmt(64, 0x48038).Id(32, kVolume).Text(48, "ABCDEFGHIJKLMNOP"), "Unable to rename volume."},
      {"GetDriveInfo", Bind(&Table::GetDriveInfo, kDrive, VESK_SCOPE_DRIVE, 241, 2),
       Mgmt(241, 0x4400C, 2).U8(32, 4).Id(33, kDrive), "Unable to retrieve drive information."},
      {"SanitizeDriveLegacy", Bind(&Table::SanitizeDriveLegacy, kDrive, 5),
       Mgmt(73, 0x48068).Id(32, kDrive).U8(48, 0xA0), "Unable to sanitize drive."},
      {"SanitizeDrive", Bind(&Table::SanitizeDrive, kDrive, 3, true, false, 0xA, true, 0xCAFEBABE),
       Mgmt(73, 0x48068).Id(49, kDrive).U32(65, 0x2AB).U32(69, 0xCAFEBABE),
       "Unable to sanitize drive."},
      {"SanitizeDriveOptionB", Bind(&Table::SanitizeDrive, kDrive, 0, false, true, 0, false, 0),
       Mgmt(73, 0x48068).Id(49, kDrive).U32(65, 0x100), "Unable to sanitize drive."},
      {"GetDriveIdentifiers",
       Bind(&Table::GetDriveIdentifiers, vesk_invalid_guid, VESK_SCOPE_NONE, 34 + 16 * 8),
       Mgmt(162, 0x44010), "Unable to retrieve drive identifiers."},
      {"GetVolumeIdentifiers", Bind(&Table::GetVolumeIdentifiers, kArray, VESK_SCOPE_ARRAY, 290),
       Mgmt(290, 0x44018).U8(32, 2).Id(33, kArray), "Unable to retrieve volume identifiers."},
      {"GetArrayIdentifiers",
       Bind(&Table::GetArrayIdentifiers, kController, VESK_SCOPE_CONTROLLER, 290),
       Mgmt(290, 0x44024).U8(32, 1).Id(33, kController), "Unable to retrieve array identifiers."},
      {"GetControllerIdentifiers",
       Bind(&Table::GetControllerIdentifiers, vesk_invalid_guid, VESK_SCOPE_NONE, 4130),
       Mgmt(4130, 0x44004), "Unable to retrieve controller identifiers."},
      {"CreateEventSubscriptionFull",
       Bind(&Table::CreateEventSubscription, kSubscription, 0x5A, Counting(255, 1)),
       Mgmt(305, 0x48060)
           .Id(32, kSubscription)
           .U8(48, 0x5A)
           .U8(49, 255)
           .Bytes(50, Counting(255, 1)),
       "Unable to create event subscription."},
      {"CancelEventSubscription", Bind(&Table::CancelEventSubscription, kSubscription),
       Mgmt(48, 0x48064).Id(32, kSubscription), "Unable to cancel event subscription."},
      {"GetEvents", Bind(&Table::GetEvents, kSubscription, 0x11223344),
       Mgmt(544, 0x4402C).Id(32, kSubscription).U32(48, 0x11223344), "Unable to get events."},
      {"PerformAction", Bind(&Table::PerformAction, 0xDEADBEEF),
       WireImage::OutOfBand(32, 0x48000).U32(28, 0xDEADBEEF), "Unable to perform an action."},
      {"SendData", Bind(&Table::SendData, SendPayload()),
       WireImage::OutOfBand(96, 0x48004).Bytes(28, Counting(64, 1)).U32(92, 0x55667788),
       "Unable to send data."},
      {"ReceiveData", Bind(&Table::ReceiveData), WireImage::OutOfBand(96, 0x44000),
       "Unable to receive data."},
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

// The commands behind the managed operations: a failed device call throws the command's own
// message with the call's error.
TEST_F(Communication, EveryCommandThrowsItsOwnMessageForAFailedCall) {
  const std::vector<Failure> commands = {
      {Bind(&Table::SetControllerReadPatrolPolicy, true), "Unable to set read patrol policy."},
      {Bind(&Table::SetControllerRohiPolicy, true), "Unable to set controller rohi policy."},
      {Bind(&Table::SetArrayCachePolicy, kArray, true), "Unable to set array cache policy."},
      {Bind(&Table::AddDrivesToArray, kArray, Drives(1)), "Unable to add drives to array."},
      {Bind(&Table::CancelVerifyVolume, kVolume), "Unable to cancel volume verification."},
      {Bind(&Table::ChangeRaidLayout, kVolume, vesk_strip_size{}, VESK_RAID_0, Drives(0)),
       "Unable to change RAID layout."},
      {Bind(&Table::CreateVolume, vesk_new_volume_parameters{}, Drives(0)),
       "Unable to create volume."},
      {Bind(&Table::DeleteVolume, kVolume), "Unable to delete volume."},
      {Bind(&Table::ExpandVolume, kVolume, 1), "Unable to expand volume."},
      {Bind(&Table::InitializeVolume, kVolume), "Unable to initialize volume."},
      {Bind(&Table::MarkVolumeAsNormal, kVolume), "Unable to mark volume as normal."},
      {Bind(&Table::RebuildVolume, kVolume, Drives(0)), "Unable to rebuild volume."},
      {Bind(&Table::SetVolumeCachePolicy, kVolume, vesk_volume_cache_policy{}),
       "Unable to set volume cache policy."},
      {Bind(&Table::SetVolumeRaidWriteHolePolicy, kVolume, vesk_rwh_policy{}, kDrive),
       "Unable to set volume RWH policy."},
      {Bind(&Table::VerifyVolume, kVolume, true), "Unable to verify volume."},
      {Bind(&Table::ActivateDriveLed, kDrive, true), "Unable to activate drive LED."},
      {Bind(&Table::ActivateDriveLedLegacy, kDrive), "Unable to activate drive LED."},
      {Bind(&Table::ClearDriveMetadata, kDrive), "Unable to clear drive metadata."},
      {Bind(&Table::MarkDriveAsNormal, kDrive), "Unable to mark drive as normal."},
      {Bind(&Table::MarkDriveAsSpare, kDrive), "Unable to mark drive as spare."},
      {Bind(&Table::RemoveDrive, kDrive), "Unable to remove drive."},
      {Bind(&Table::ResetSmartEvent, kDrive), "Unable to reset SMART event from drive."},
      {Bind(&Table::SetWriteCacheOnDrive, kDrive, true), "Unable to set write cache on drive."},
      {Bind(&Table::UnmarkSpareDrive, kDrive), "Unable to unmark spare drive."},
  };
  backend->failWith = ERROR_IO_DEVICE;
  for (const auto& command : commands) {
    ExpectFailure([&] { command.call(sync, handle.get()); }, Failed(command.what), ERROR_IO_DEVICE);
  }
}

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
  const std::vector<Failure> withoutController = {
      {Bind(&Table::SetControllerReadPatrolPolicy, true), "Unable to set read patrol policy."},
      {Bind(&Table::SetControllerRohiPolicy, true), "Unable to set controller rohi policy."},
      {Bind(&Table::SetControllerRate, 1), "Unable to set controller rate."},
  };
  for (const auto& refusal : withoutController) {
    ExpectFailure([&] { refusal.call(sync, nullptr); }, Failed(refusal.what));
  }
  const std::vector<Failure> beyondTheirFields = {
      {Bind(&Table::AddDrivesToArray, kArray, Drives(0x10000)), "Unable to add drives to array."},
      {Bind(&Table::RebuildVolume, kVolume, Drives(0x10000)), "Unable to rebuild volume."},
      {Bind(&Table::ChangeRaidLayout, kVolume, vesk_strip_size{}, VESK_RAID_0, Drives(0x10000)),
       "Unable to change RAID layout."},
      {Bind(&Table::CreateVolume, vesk_new_volume_parameters{}, Drives(0x10000)),
       "Unable to create volume."},
      {Bind(&Table::CreateEventSubscription, kSubscription, 0, Counting(256, 0)),
       "Unable to create event subscription."},
      {Bind(&Table::GetControllerInfo, kController, VESK_SCOPE_CONTROLLER, 48, 3),
       "Unable to retrieve controller information."},
  };
  for (const auto& refusal : beyondTheirFields) {
    ExpectFailure([&] { refusal.call(sync, handle.get()); }, Failed(refusal.what),
                  ERROR_INVALID_PARAMETER);
  }
  EXPECT_TRUE(backend->calls.empty());

  RequestPtr<AddDrivesToArrayIoctl<SynchronousIoctl>> request;
  sync.AddDrivesToArray(handle.get(), kArray, Drives(0xFFFF), request);
  ASSERT_EQ(backend->calls.size(), 1u);
  EXPECT_EQ(backend->calls[0].in.size(), 50u + 16u * 0xFFFF);
}

}  // namespace
}  // namespace Vesk
