// Device discovery over the simulated machine's SCSI adapters, with a scripted backend that
// answers the controller-identifier query.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "device/DeviceBuilder.h"
#include "simulator/Machine.h"
#include "vesk/Exceptions.h"

namespace Vesk {
namespace {

using vesk::sim::Api;
using vesk::sim::DeviceBackend;
using vesk::sim::DeviceSpec;
using vesk::sim::IoControl;
using vesk::sim::IoResult;
using vesk::sim::Machine;

constexpr DWORD kGetControllerIdentifiers = 0x44004;

vesk_guid Id(std::uint32_t n) {
  vesk_guid id = vesk_invalid_guid;
  id.group1 = n;
  return id;
}

// Answers the controller-identifier query with a fixed list, a status or a transport failure.
class IdentifierBackend : public DeviceBackend {
 public:
  explicit IdentifierBackend(std::vector<vesk_guid> ids) : ids(std::move(ids)) {}

  IoResult Control(const IoControl& call) override {
    SRB_IO_CONTROL header;
    std::memcpy(&header, call.in, sizeof header);
    if (header.ControlCode != kGetControllerIdentifiers) return {false, 0, ERROR_INVALID_FUNCTION};
    ++calls;
    if (transportError != 0) return {false, 0, transportError};
    header.ReturnCode = status;
    std::memcpy(call.out, &header, sizeof header);
    // A refusing driver still counts its identifiers here: the operation table judges a zero
    // count before anyone reads the status.
    {
      const std::uint16_t count = countOverride ? *countOverride : std::uint16_t(ids.size());
      std::memcpy(call.out + 32, &count, sizeof count);
      for (std::size_t i = 0; i < ids.size() && 34 + 16 * (i + 1) <= call.outSize; ++i) {
        std::memcpy(call.out + 34 + 16 * i, &ids[i], 16);
      }
    }
    return {true, call.outSize, ERROR_SUCCESS};
  }

  std::vector<vesk_guid> ids;
  std::atomic<int> calls{0};
  std::uint32_t status = 0;
  DWORD transportError = 0;
  std::optional<std::uint16_t> countOverride;
};

class DiscoveryTest : public ::testing::Test {
 protected:
  DiscoveryTest() { ControllerDeviceBuilder::IdentifierQueue().clear(); }
  ~DiscoveryTest() override { ControllerDeviceBuilder::IdentifierQueue().clear(); }

  vesk::sim::DeviceId Add(const std::wstring& service, std::shared_ptr<DeviceBackend> backend,
                          std::wstring manufacturer = L"Korva Corporation") {
    DeviceSpec description;
    description.manufacturer = std::move(manufacturer);
    description.service = service;
    description.pdoName = L"\\Device\\Raid" + std::to_wstring(next++);
    description.backend = std::move(backend);
    return machine.AddDevice(std::move(description));
  }

  DeviceHandles Discover() {
    DeviceHandles result;
    ControllerDeviceBuilder builder;
    builder.Enumerate(result);
    return result;
  }

  static vesk_guid ControllerId(const std::shared_ptr<DeviceHandle>& handle) {
    return handle->GetControllerId();
  }

  Machine machine;
  int next = 0;
};

TEST_F(DiscoveryTest, NoDevicesGiveAnEmptyResult) { EXPECT_TRUE(Discover().empty()); }

TEST_F(DiscoveryTest, ManufacturerAndServiceMustMatchExactly) {
  auto backend = std::make_shared<IdentifierBackend>(std::vector{Id(1)});
  const auto ids = {Add(L"zrDiskE", backend, L"Korva Corporation Inc"),
                    Add(L"zrDiskE", backend, L"korva corporation"), Add(L"zrDiskEx", backend),
                    Add(L"zrdiske", backend), Add(L"zrTal", backend)};
  EXPECT_TRUE(Discover().empty());
  EXPECT_EQ(backend->calls, 0);
  for (auto id : ids) EXPECT_EQ(machine.OpenHandleCount(id), 0u);
}

TEST_F(DiscoveryTest, HandlesAreOrderedByDriverTableRowAndNumbered) {
  auto queued = std::make_shared<IdentifierBackend>(std::vector{Id(30)});
  auto direct = std::make_shared<IdentifierBackend>(std::vector{Id(10), Id(11)});
  Add(L"zrTaluP", queued);
  Add(L"zrDiskT", direct);
  Add(L"zrDiskE", direct);

  DeviceHandles result = Discover();
  ASSERT_EQ(result.size(), 3u);
  // Rows 0, 2, 4, renumbered 0, 1, 2; each direct row takes the first identifier it is told.
  EXPECT_TRUE(ControllerId(result[0]) == Id(10));
  EXPECT_TRUE(ControllerId(result[1]) == Id(10));
  EXPECT_TRUE(ControllerId(result[2]) == Id(30));
  for (std::size_t i = 0; i < result.size(); ++i) EXPECT_EQ(result[i]->device->id, i);
  EXPECT_EQ(result[0]->device->path, L"\\\\?\\Global\\GlobalRoot\\Device\\Raid2");
}

TEST_F(DiscoveryTest, QueuedRowsShareOneAnswerAndLeftoversServeTheNextDiscovery) {
  auto backend = std::make_shared<IdentifierBackend>(std::vector{Id(1), Id(2), Id(3), Id(4)});
  Add(L"zrTalu", backend);
  Add(L"zrTalu", backend);
  Add(L"zrTaluP", backend);

  DeviceHandles first = Discover();
  ASSERT_EQ(first.size(), 3u);
  EXPECT_TRUE(ControllerId(first[0]) == Id(1));
  EXPECT_TRUE(ControllerId(first[1]) == Id(2));
  EXPECT_TRUE(ControllerId(first[2]) == Id(3));
  EXPECT_EQ(backend->calls, 1);
  ASSERT_EQ(ControllerDeviceBuilder::IdentifierQueue().size(), 1u);

  // The fourth identifier is handed out without asking again.
  first.clear();
  DeviceHandles second = Discover();
  ASSERT_EQ(second.size(), 3u);
  EXPECT_TRUE(ControllerId(second[0]) == Id(4));
  EXPECT_EQ(backend->calls, 2);  // the queue ran dry for the second device
  EXPECT_TRUE(ControllerId(second[1]) == Id(1));
}

TEST_F(DiscoveryTest, DeviceThatCannotBeIdentifiedIsSkippedWithItsHandleClosed) {
  auto failing = std::make_shared<IdentifierBackend>(std::vector{Id(1)});
  failing->transportError = ERROR_IO_DEVICE;
  auto good = std::make_shared<IdentifierBackend>(std::vector{Id(2)});
  const auto failingId = Add(L"zrDiskB", failing);
  Add(L"zrDiskE", good);

  DeviceHandles result = Discover();
  ASSERT_EQ(result.size(), 1u);
  EXPECT_TRUE(ControllerId(result[0]) == Id(2));
  EXPECT_EQ(machine.OpenHandleCount(failingId), 0u);
}

// Answers that name no usable identifier must never be read as if they did.
TEST_F(DiscoveryTest, AnswersWithoutAUsableIdentifierSkipTheDevice) {
  auto none = std::make_shared<IdentifierBackend>(std::vector<vesk_guid>{});
  auto zero = std::make_shared<IdentifierBackend>(std::vector{vesk_invalid_guid});
  auto overrun = std::make_shared<IdentifierBackend>(std::vector{Id(1)});
  overrun->countOverride = 300;  // more than the 4130-byte answer can hold
  const auto ids = {Add(L"zrDiskE", none), Add(L"zrTalu", none), Add(L"zrDiskE", zero),
                    Add(L"zrTaluP", zero), Add(L"zrDiskT", overrun)};

  EXPECT_TRUE(Discover().empty());
  EXPECT_TRUE(ControllerDeviceBuilder::IdentifierQueue().empty());
  for (auto id : ids) EXPECT_EQ(machine.OpenHandleCount(id), 0u);
}

TEST_F(DiscoveryTest, DriverStatusWhileIdentifyingEndsDiscovery) {
  auto refusing = std::make_shared<IdentifierBackend>(std::vector{Id(1)});
  refusing->status = 7;
  const auto id = Add(L"zrTalu", refusing);
  try {
    Discover();
    FAIL() << "no exception";
  } catch (const VeskException& e) {
    EXPECT_EQ(e.Message(),
              "Unable to retrieve controller identifiers. IOCTL completed with error.");
    EXPECT_EQ(e.Status(), 7u);
  }
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
}

struct OpenFailure {
  DWORD error;
  const char* message;
};

class DiscoveryOpenFailureTest : public DiscoveryTest,
                                 public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(DiscoveryOpenFailureTest, MutexLikeLastErrorsEndDiscovery) {
  auto backend = std::make_shared<IdentifierBackend>(std::vector{Id(1)});
  DeviceSpec description;
  description.manufacturer = L"Korva Corporation";
  description.service = L"zrDiskE";
  description.pdoName = L"\\Device\\Locked";
  description.backend = backend;
  description.openError = GetParam().error;
  machine.AddDevice(std::move(description));
  try {
    Discover();
    FAIL() << "no exception";
  } catch (const VeskException&) {
    FAIL() << "not a driver failure";
  } catch (const TaluException& e) {
    EXPECT_EQ(e.Message(), GetParam().message);
    EXPECT_EQ(e.ErrorCode(), GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    LastErrors, DiscoveryOpenFailureTest,
    ::testing::Values(OpenFailure{ERROR_ACCESS_DENIED,
                                  "Access denied. Insufficient privileges to obtain a mutex."},
                      OpenFailure{ERROR_INVALID_HANDLE,
                                  "Mutex is used by an object of another type."},
                      OpenFailure{ERROR_BAD_PATHNAME,
                                  "Bad pathname. Mutex name contains unsupported characters."}));

TEST_F(DiscoveryTest, OtherOpenFailuresSkipTheDevice) {
  DeviceSpec description;
  description.manufacturer = L"Korva Corporation";
  description.service = L"zrDiskE";
  description.pdoName = L"\\Device\\Gone";
  description.backend = std::make_shared<IdentifierBackend>(std::vector{Id(1)});
  description.openError = ERROR_FILE_NOT_FOUND;
  machine.AddDevice(std::move(description));
  EXPECT_TRUE(Discover().empty());
}

TEST_F(DiscoveryTest, PropertyLongerThanTheBufferSkipsTheDevice) {
  auto backend = std::make_shared<IdentifierBackend>(std::vector{Id(1)});
  DeviceSpec description;
  description.manufacturer = L"Korva Corporation";
  description.service = L"zrDiskE";
  description.pdoName = L"\\Device\\" + std::wstring(1100, L'x');  // over 2048 bytes in UTF-16
  description.backend = backend;
  const auto id = machine.AddDevice(std::move(description));
  EXPECT_TRUE(Discover().empty());
  EXPECT_EQ(backend->calls, 0);
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
}

TEST_F(DiscoveryTest, MoreThan255DevicesEndDiscovery) {
  std::vector<vesk_guid> ids;
  for (std::uint32_t i = 1; i <= 256; ++i) ids.push_back(Id(i));
  auto backend = std::make_shared<IdentifierBackend>(ids);
  for (int i = 0; i < 256; ++i) Add(L"zrTalu", backend);
  SetLastError(ERROR_SUCCESS);
  try {
    Discover();
    FAIL() << "no exception";
  } catch (const TaluException& e) {
    EXPECT_EQ(e.Message(), "Too many controller devices retrieved.");
  }
  EXPECT_EQ(backend->calls, 1);  // every device was identified before the count was judged
  EXPECT_TRUE(ControllerDeviceBuilder::IdentifierQueue().empty());
}

TEST_F(DiscoveryTest, BaseBuilderKeepsEveryOpenableDevice) {
  Add(L"anything", std::make_shared<IdentifierBackend>(std::vector{Id(1)}), L"Someone Else");
  DeviceHandles result;
  DeviceBuilder builder;
  builder.Enumerate(result);
  ASSERT_EQ(result.size(), 1u);
  EXPECT_TRUE(result[0]->GetControllerId() == vesk_invalid_guid);
  EXPECT_EQ(result[0]->device->id, 0);
}

}  // namespace
}  // namespace Vesk
