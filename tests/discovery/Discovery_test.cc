// Device discovery over the simulated machine's SCSI adapters: a scripted backend that answers
// the controller-identifier query, and the simulated RAID driver with its faults.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/DeviceBuilder.h"
#include "e2e/Harness.h"
#include "simulator/Machine.h"
#include "vesk/Exceptions.h"

namespace Vesk {
namespace {

using vesk::sim::Api;
using vesk::sim::DeviceBackend;
using vesk::sim::DeviceSpec;
using vesk::sim::Fault;
using vesk::sim::IoControl;
using vesk::sim::IoResult;
using vesk::sim::Machine;
using vesk::sim::function::kGetControllerIdentifiers;
using Lines = std::vector<std::wstring>;

vesk_guid Id(std::uint32_t n) {
  vesk_guid id = vesk_invalid_guid;
  id.group1 = n;
  return id;
}

std::wstring Path(const std::wstring& pdoName) { return L"\\\\?\\Global\\GlobalRoot" + pdoName; }

// The n-th device the fixture adds. Not ASCII, so that every byte of a UTF-16 property counts.
std::wstring PdoName(int n) { return L"\\Device\\\u0420\u0430\u0439\u0434" + std::to_wstring(n); }

// Answers the controller-identifier query with a fixed list and status.
class IdentifierBackend : public DeviceBackend {
 public:
  explicit IdentifierBackend(std::vector<vesk_guid> ids) : ids(std::move(ids)) {}

  IoResult Control(const IoControl& call) override {
    SRB_IO_CONTROL header;
    std::memcpy(&header, call.in, sizeof header);
    if (header.ControlCode != kGetControllerIdentifiers) return {false, 0, ERROR_INVALID_FUNCTION};
    ++calls;
    header.ReturnCode = status;
    std::memcpy(call.out, &header, sizeof header);
    const auto count = std::uint16_t(ids.size());
    std::memcpy(call.out + 32, &count, sizeof count);
    for (std::size_t i = 0; i < ids.size() && 34 + 16 * (i + 1) <= call.outSize; ++i) {
      std::memcpy(call.out + 34 + 16 * i, &ids[i], 16);
    }
    return {true, call.outSize, ERROR_SUCCESS};
  }

  std::vector<vesk_guid> ids;
  std::atomic<int> calls{0};
  std::uint32_t status = 0;
};

class DiscoveryTest : public ::testing::Test {
 protected:
  DiscoveryTest() { ControllerDeviceBuilder::IdentifierQueue().clear(); }
  ~DiscoveryTest() override { ControllerDeviceBuilder::IdentifierQueue().clear(); }

  vesk::sim::DeviceId Add(const std::wstring& service, std::shared_ptr<DeviceBackend> backend,
                          std::optional<std::wstring> manufacturer = L"Korva Corporation") {
    DeviceSpec description;
    description.manufacturer = std::move(manufacturer);
    description.service = service;
    description.pdoName = PdoName(next++);
    description.backend = std::move(backend);
    return machine.AddDevice(std::move(description));
  }

  DeviceHandles Discover(bool identify = true) {
    DeviceHandles result;
    ControllerDeviceBuilder builder;
    builder.identifyControllers = identify;
    builder.Enumerate(result);
    return result;
  }

  static vesk_guid ControllerId(const std::shared_ptr<DeviceHandle>& handle) {
    return handle->GetControllerId();
  }

  Machine machine;
  int next = 0;
};

TEST_F(DiscoveryTest, ManufacturerAndServiceMustMatchExactly) {
  auto backend = std::make_shared<IdentifierBackend>(std::vector{Id(1)});
  const auto ids = {Add(L"zrDiskE", backend, L"Korva Corporation Inc"),
                    Add(L"zrDiskE", backend, L"korva corporation"), Add(L"zrDiskEx", backend),
                    Add(L"zrdiske", backend), Add(L"zrTal", backend)};
  EXPECT_TRUE(Discover().empty());
  EXPECT_EQ(backend->calls, 0);
  for (auto id : ids) EXPECT_EQ(machine.OpenHandleCount(id), 0u);
  // Devices of other drivers are no failure.
  EXPECT_TRUE(machine.DebugOutput().empty());
}

// Handles are ordered by driver-table row and numbered in that order, with enough devices per row
// that an unstable sort would reorder them: each row keeps the order of the enumeration. A direct
// row takes the first identifier of its own answer; the queued rows share one answer.
TEST_F(DiscoveryTest, DevicesOfOneRowKeepTheirEnumerationOrder) {
  constexpr std::uint32_t kPairs = 20;
  std::vector<vesk_guid> queuedIds;
  for (std::uint32_t i = 0; i <= kPairs; ++i) queuedIds.push_back(Id(1000 + i));
  auto queued = std::make_shared<IdentifierBackend>(queuedIds);
  Add(L"zrTaluP", queued);                                                    // device 0, row 4
  Add(L"zrDiskT", std::make_shared<IdentifierBackend>(std::vector{Id(30)}));  // device 1, row 2
  Add(L"zrDiskE", std::make_shared<IdentifierBackend>(std::vector{Id(20)}));  // device 2, row 0
  for (std::uint32_t i = 0; i < kPairs; ++i) {
    Add(L"zrTalu", queued);  // device 3 + 2i, row 3
    Add(L"zrDiskB", std::make_shared<IdentifierBackend>(std::vector{Id(1 + i), Id(500 + i)}));
  }
  // (device, identifier) in row order: zrDiskE, every zrDiskB, zrDiskT, every zrTalu, zrTaluP.
  std::vector<std::pair<int, vesk_guid>> expected = {{2, Id(20)}};
  for (std::uint32_t i = 0; i < kPairs; ++i) expected.push_back({4 + 2 * i, Id(1 + i)});
  expected.push_back({1, Id(30)});
  for (std::uint32_t i = 0; i < kPairs; ++i) expected.push_back({3 + 2 * i, Id(1001 + i)});
  expected.push_back({0, Id(1000)});

  DeviceHandles result = Discover();
  ASSERT_EQ(result.size(), expected.size());
  for (std::size_t i = 0; i < result.size(); ++i) {
    EXPECT_EQ(result[i]->device->path, Path(PdoName(expected[i].first))) << i;
    EXPECT_TRUE(ControllerId(result[i]) == expected[i].second) << i;
    EXPECT_EQ(result[i]->device->id, i);
  }
  EXPECT_EQ(queued->calls, 1);
}

// Identifiers left over in the queue serve the next discovery before the driver is asked again.
TEST_F(DiscoveryTest, QueuedRowsShareOneAnswerAndLeftoversServeTheNextDiscovery) {
  auto backend = std::make_shared<IdentifierBackend>(std::vector{Id(1), Id(2), Id(3), Id(4)});
  Add(L"zrTalu", backend);
  Add(L"zrTalu", backend);
  Add(L"zrTaluP", backend);
  EXPECT_EQ(Discover().size(), 3u);
  EXPECT_EQ(backend->calls, 1);

  DeviceHandles second = Discover();
  ASSERT_EQ(second.size(), 3u);
  EXPECT_TRUE(ControllerId(second[0]) == Id(4));
  EXPECT_TRUE(ControllerId(second[1]) == Id(1));
  EXPECT_EQ(backend->calls, 2);  // the queue ran dry for the second device
}

// Without identification every device of the stack is kept as it is: no request is sent, and
// the handles are sorted and numbered all the same.
TEST_F(DiscoveryTest, WithoutIdentificationHandlesAreKeptUnidentified) {
  auto backend = std::make_shared<IdentifierBackend>(std::vector{Id(1)});
  Add(L"zrTalu", backend);
  Add(L"zrDiskE", backend);
  DeviceHandles result = Discover(false);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result[0]->device->path, Path(PdoName(1)));
  for (std::size_t i = 0; i < result.size(); ++i) {
    EXPECT_EQ(result[i]->device->id, i);
    EXPECT_TRUE(ControllerId(result[i]) == vesk_invalid_guid);
  }
  EXPECT_EQ(backend->calls, 0);
}

// A refusal (non-zero status) ends discovery as the driver's failure, whatever count it claims;
// every handle built so far is closed.
TEST_F(DiscoveryTest, DriverRefusalWhileIdentifyingEndsDiscovery) {
  for (const char* service : {"zrDiskE", "zrTalu"}) {
    for (std::size_t count : {0, 1}) {
      SCOPED_TRACE(std::string(service) + " count " + std::to_string(count));
      ControllerDeviceBuilder::IdentifierQueue().clear();
      auto refusing = std::make_shared<IdentifierBackend>(std::vector<vesk_guid>(count, Id(1)));
      refusing->status = 7;
      const auto good = Add(L"zrDiskB", std::make_shared<IdentifierBackend>(std::vector{Id(2)}));
      const auto id = Add(std::wstring(service, service + std::strlen(service)), refusing);
      testing::ExpectThrows<VeskException>(
          [&] { Discover(); },
          "Unable to retrieve controller identifiers. IOCTL completed with error.", 7);
      EXPECT_EQ(machine.OpenHandleCount(id), 0u);
      EXPECT_EQ(machine.OpenHandleCount(good), 0u);
      machine.RemoveDevice(id);
      machine.RemoveDevice(good);
    }
  }
}

// Each open or property failure either ends discovery (the three mutex-like errors, as the
// device's mutex could not be had either) or leaves the device out with a debugger line.
using Arrange = std::function<void(DeviceSpec&, Machine&)>;

struct BuildFailure {
  const char* name;
  Arrange arrange;
  std::string message;  // the TaluException that ends discovery, or empty
  DWORD error;
  std::wstring line;  // the debugger line of a skipped device
};

void PrintTo(const BuildFailure& failure, std::ostream* out) { *out << failure.name; }

class DiscoveryBuildFailureTest : public DiscoveryTest,
                                  public ::testing::WithParamInterface<BuildFailure> {};

TEST_P(DiscoveryBuildFailureTest, EndsDiscoveryOrSkipsTheDeviceWithALine) {
  DeviceSpec description;
  description.manufacturer = L"Korva Corporation";
  description.service = L"zrDiskE";
  description.pdoName = L"\\Device\\Locked";
  GetParam().arrange(description, machine);
  auto backend = std::make_shared<IdentifierBackend>(std::vector{Id(1)});
  description.backend = backend;
  const auto id = machine.AddDevice(std::move(description));
  if (!GetParam().message.empty()) {
    testing::ExpectThrows<TaluException>([&] { Discover(); }, GetParam().message, GetParam().error);
    EXPECT_TRUE(machine.DebugOutput().empty());
  } else {
    EXPECT_TRUE(Discover().empty());
    EXPECT_EQ(machine.DebugOutput(), Lines{GetParam().line});
  }
  EXPECT_EQ(backend->calls, 0);
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
}

Arrange OpenFails(DWORD error) {
  return [error](DeviceSpec& d, Machine&) { d.openError = error; };
}
Arrange CallFails(Api api, DWORD error) {
  return [api, error](DeviceSpec&, Machine& m) { m.FailCalls(api, error); };
}
std::wstring NotOpened(int code) {
  return L"Controller device \\\\?\\Global\\GlobalRoot\\Device\\Locked skipped: it could not be "
         L"opened (error code " +
         std::to_wstring(code) + L").\n";
}
std::wstring Unread(const std::wstring& property, int code) {
  return L"SCSI adapter 0 skipped: its " + property + L" could not be read (error code " +
         std::to_wstring(code) + L").\n";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, DiscoveryBuildFailureTest,
    ::testing::Values(
        BuildFailure{"OpenAccessDenied", OpenFails(ERROR_ACCESS_DENIED),
                     "Access denied. Insufficient privileges to obtain a mutex.",
                     ERROR_ACCESS_DENIED, L""},
        BuildFailure{"OpenInvalidHandle", OpenFails(ERROR_INVALID_HANDLE),
                     "Mutex is used by an object of another type.", ERROR_INVALID_HANDLE, L""},
        BuildFailure{"OpenBadPathname", OpenFails(ERROR_BAD_PATHNAME),
                     "Bad pathname. Mutex name contains unsupported characters.",
                     ERROR_BAD_PATHNAME, L""},
        BuildFailure{"OpenFileNotFound", OpenFails(ERROR_FILE_NOT_FOUND), "", 0, NotOpened(2)},
        BuildFailure{"CreateFile2Fails", CallFails(Api::CreateFile2, ERROR_NOT_SUPPORTED), "", 0,
                     NotOpened(50)},
        BuildFailure{"ManufacturerReadFails",
                     CallFails(Api::SetupDiGetDevicePropertyW, ERROR_GEN_FAILURE), "", 0,
                     Unread(L"manufacturer", 31)},
        BuildFailure{"NoService", [](DeviceSpec& d, Machine&) { d.service.reset(); }, "", 0,
                     Unread(L"driver service", 1168)},
        BuildFailure{"NoPdoName", [](DeviceSpec& d, Machine&) { d.pdoName.reset(); }, "", 0,
                     Unread(L"physical device object name", 1168)},
        BuildFailure{"PdoNameLongerThanTheBuffer",
                     [](DeviceSpec& d, Machine&) {
                       d.pdoName = L"\\Device\\" + std::wstring(1100, L'x');  // over 2048 bytes
                     },
                     "", 0, Unread(L"physical device object name", 122)}),
    [](const auto& info) { return std::string(info.param.name); });

// When the adapters cannot be listed at all, the empty result says so on the debugger.
TEST_F(DiscoveryTest, AdaptersThatCannotBeListedAreReported) {
  Add(L"zrDiskE", std::make_shared<IdentifierBackend>(std::vector{Id(1)}));
  for (auto [api, name] :
       {std::pair{Api::SetupDiCreateDeviceInfoList, L"SetupDiCreateDeviceInfoList"},
        std::pair{Api::SetupDiGetClassDevsExW, L"SetupDiGetClassDevsExW"}}) {
    machine.ClearDebugOutput();
    machine.FailCalls(api, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(Discover().empty());
    EXPECT_EQ(machine.DebugOutput(), Lines{std::wstring(L"SCSI adapters could not be listed: ") +
                                           name + L" failed (error code 8).\n"});
  }
}

TEST_F(DiscoveryTest, MoreThan255DevicesEndDiscovery) {
  std::vector<vesk_guid> ids;
  for (std::uint32_t i = 1; i <= 256; ++i) ids.push_back(Id(i));
  auto backend = std::make_shared<IdentifierBackend>(ids);
  for (int i = 0; i < 256; ++i) Add(L"zrTalu", backend);
  SetLastError(ERROR_BUSY);
  // The code is the thread's last error at the end, which the walk over the adapters leaves at 0.
  testing::ExpectThrows<TaluException>([&] { Discover(); },
                                       "Too many controller devices retrieved.", ERROR_SUCCESS);
  EXPECT_EQ(backend->calls, 1);  // every device was identified before the count was judged
  EXPECT_TRUE(ControllerDeviceBuilder::IdentifierQueue().empty());
}

// --- Against the simulated RAID driver ----------------------------------------------------------

const std::wstring kDirectDevice = L"\\Device\\RaidPort0";  // zrDiskE in the demo topology
const std::wstring kQueuedDevice = L"\\Device\\RaidPort1";  // zrTalu

// Every failure of the identifier request other than a refusal leaves the device out, closes it
// and says why on the debugger; it never passes for a failure of the device's mutex.
struct IdentifierFailure {
  const char* name;
  std::optional<Fault::Kind> fault;  // none: the answer's count is rewritten to zero
  std::uint32_t value;
  std::string reason;
  DWORD error;
};

void PrintTo(const IdentifierFailure& failure, std::ostream* out) { *out << failure.name; }

class DiscoveryIdentifierFailureTest : public ::testing::TestWithParam<IdentifierFailure> {};

TEST_P(DiscoveryIdentifierFailureTest, SkipsTheDeviceWithALine) {
  const IdentifierFailure& failure = GetParam();
  testing::SimulatedMachine sim("demo");
  if (failure.fault) {
    sim.driver->InjectFault(Fault(*failure.fault, kGetControllerIdentifiers, failure.value, -1));
  } else {
    sim.recorder->Rewrite([](const auto&, BYTE* out, DWORD) { std::memset(out + 32, 0, 2); });
  }
  DeviceHandles result;
  ControllerDeviceBuilder().Enumerate(result);
  EXPECT_TRUE(result.empty());
  const std::wstring reason(failure.reason.begin(), failure.reason.end());
  auto line = [&](const std::wstring& pdoName) {
    return L"Controller device " + Path(pdoName) + L" skipped: \"" + reason + L"\" (error code " +
           std::to_wstring(failure.error) + L").\n";
  };
  EXPECT_EQ(sim.machine.DebugOutput(), (Lines{line(kDirectDevice), line(kQueuedDevice)}));
  for (auto id : sim.devices) EXPECT_EQ(sim.machine.OpenHandleCount(id), 0u);
  EXPECT_TRUE(ControllerDeviceBuilder::IdentifierQueue().empty());
}

constexpr char kUnsuccessful[] =
    "Unable to retrieve controller identifiers. IOCTL was unsuccessful.";

INSTANTIATE_TEST_SUITE_P(
    Failures, DiscoveryIdentifierFailureTest,
    ::testing::Values(
        IdentifierFailure{"DeviceFailure", Fault::Kind::DeviceFailure, 0, kUnsuccessful,
                          ERROR_IO_DEVICE},
        IdentifierFailure{"DeviceFailureLikeAMutexError", Fault::Kind::DeviceFailure,
                          ERROR_ACCESS_DENIED, kUnsuccessful, ERROR_ACCESS_DENIED},
        IdentifierFailure{"RemovedMidRequest", Fault::Kind::RemoveDevice, 0, kUnsuccessful,
                          ERROR_DEVICE_NOT_CONNECTED},
        IdentifierFailure{"ZeroCount", std::nullopt, 0,
                          "Zero controller identifiers count retrieved. Expected at least one.",
                          ERROR_INVALID_DATA},
        IdentifierFailure{"EmptyIdentifier", Fault::Kind::ZeroIdentifier, 0,
                          "Empty controller identifier retrieved", ERROR_INVALID_DATA},
        IdentifierFailure{
            "CountBeyondBuffer", Fault::Kind::CountBeyondBuffer, 0,
            "Identifier count retrieved from the driver is greater than the answer holds.",
            ERROR_INVALID_DATA}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Vesk
