// Every message of retrieval, each made to happen by a fault of the simulated driver or by an
// answer no well-behaved driver gives.
#include <gtest/gtest.h>

#include <functional>

#include "tests/e2e/Harness.h"

namespace Vesk {
namespace {

using testing::ExpectThrows;
using testing::FullRefresh;
using testing::Guid;
using testing::SentRequest;
using testing::SimulatedMachine;
namespace sim = vesk::sim;
using namespace testing::demo;

namespace fn = vesk::sim::function;

constexpr std::uint32_t kAnswerCheck = 13;  // the answer readers' error code (ERROR_INVALID_DATA)

void Put16(BYTE* at, std::uint16_t value) { std::memcpy(at, &value, 2); }

class RetrievalFailureTest : public ::testing::Test {
 protected:
  void Fault(std::uint32_t function, std::uint32_t status, int count = 1) {
    simulated.driver->InjectFault({sim::Fault::Kind::Status, function, status, count});
  }
  const Controller& Record(const vesk_guid& id) { return testing::Record(management, id); }
  void Arrays() { management.SetArrays(Record(kDorn), management.GetArrays()); }
  void Volumes() { management.SetVolumes(Record(kDorn), management.GetVolumes()); }
  void Drives() { management.SetDrives(Record(kDorn), management.GetDrives()); }

  SimulatedMachine simulated{"demo"};
  StorageManagement management;
};

// A driver status on a query is that query's message with the status, and the targets stay as
// they were.
TEST_F(RetrievalFailureTest, DriverStatusesBecomeTheQueriesMessages) {
  // The first device's controller made it before the second one's capabilities failed.
  sim::Fault second(sim::Fault::Kind::Status, fn::kGetControllerCapabilities, 6);
  second.pdoName = L"\\Device\\RaidPort1";
  simulated.driver->InjectFault(second);
  ExpectThrows<VeskException>(
      [&] { management.SetControllers(); },
      "Unable to retrieve controller capabilities. IOCTL completed with error.", 6);
  EXPECT_EQ(management.GetControllers().GetControllersById().size(), 1u);

  management.SetControllers();
  const Controller& dorn = Record(kDorn);
  const std::function<void()> all = [&] { management.SetControllers(); };
  const std::function<void()> single = [&] {
    management.GetSingleController(dorn.GetDeviceHandle(), kDorn);
  };
  const struct {
    std::uint32_t function, status;
    const char* what;
    std::function<void()> call;
  } cases[] = {
      {fn::kGetExecutorInformation, 9, "executor information", all},
      {fn::kGetControllerInfo, 260, "controller information", all},
      {fn::kGetExecutorInformation, 9, "executor information", single},
      {fn::kGetControllerInfo, 260, "controller information", single},
      {fn::kGetControllerCapabilities, 6, "controller capabilities", single},
      {fn::kGetArrayInfo, 3, "array information", [&] { Arrays(); }},
      {fn::kGetVolumeInfo, 3, "volume information", [&] { Volumes(); }},
      {fn::kGetDriveInfo, 3, "drive information", [&] { Drives(); }},
  };
  for (const auto& c : cases) {
    Fault(c.function, c.status);
    ExpectThrows<VeskException>(
        c.call, "Unable to retrieve " + std::string(c.what) + ". IOCTL completed with error.",
        c.status);
  }
  // The fallback: the whole-controller answer says "too small", then the identifiers fail ...
  Fault(fn::kGetDriveInfo, 4);
  Fault(fn::kGetDriveIdentifiers, 260);
  ExpectThrows<VeskException>(
      [&] { Drives(); }, "Unable to retrieve drive identifiers. IOCTL completed with error.", 260);
  // ... or one of the single drives fails with anything but "gone".
  Fault(fn::kGetDriveInfo, 4);
  Fault(fn::kGetDriveInfo, 14);
  ExpectThrows<VeskException>(
      [&] { Drives(); }, "Unable to retrieve drive information. IOCTL completed with error.", 14);
  EXPECT_TRUE(management.GetArrays().empty());
  EXPECT_TRUE(management.GetVolumes().empty());
  EXPECT_TRUE(management.GetDrives().empty());
}

TEST_F(RetrievalFailureTest, DrivesThatVanishDuringPerDriveReadingAreLeftOut) {
  management.SetControllers();
  Fault(fn::kGetDriveInfo, 4);
  int single = 0;
  simulated.recorder->Rewrite([&](const SentRequest& request, BYTE* out, DWORD) {
    if (request.functionCode == fn::kGetDriveInfo && request.bytes[32] == VESK_SCOPE_DRIVE &&
        ++single == 2) {
      const std::uint32_t gone = VESK_STATUS_DRIVE_NOT_FOUND;
      std::memcpy(out + 20, &gone, 4);
    }
  });
  Drives();
  EXPECT_EQ(management.GetDrives().size(), 5u);  // six drives, the second one gone
  EXPECT_EQ(management.GetDrives().count(Guid("d0e10000-0000-4000-8000-000000000001")), 0u);
  std::set<int> targets;
  for (auto& [id, drive] : management.GetDrives()) targets.insert(drive->scsiAddress.target);
  EXPECT_EQ(targets, (std::set<int>{0, 1, 2, 3, 4}));
}

TEST_F(RetrievalFailureTest, ControllerAnswersBeyondTheLimits) {
  auto refused = [&](const std::function<void()>& call, std::size_t at, std::uint16_t value,
                     const char* message) {
    simulated.recorder->Rewrite([=](const SentRequest& request, BYTE* out, DWORD) {
      if (request.functionCode == fn::kGetControllerInfo) Put16(out + at, value);
    });
    ExpectThrows<TaluException>(call, message, kAnswerCheck);
  };
  const std::function<void()> all = [&] { management.SetControllers(); };
  refused(all, 32, 0, "Invalid controller count retrieved with the value of 0.");
  // Two devices were found.
  refused(all, 32, 3, "Controller count retrieved is greater than expected.");
  refused(all, 34 + 296, 0, "Controller returned maximum volumes per array with the value of 0.");
  EXPECT_TRUE(management.GetControllers().GetControllersById().empty());

  simulated.recorder->Rewrite(nullptr);
  management.SetControllers();
  const auto device = Record(kSata).GetDeviceHandle();
  const std::function<void()> single = [&] { management.GetSingleController(device, kSata); };
  refused(single, 32, 0, "Invalid controller count retrieved with the value of 0.");
  refused(single, 32, 2, "Expected a count of 1 for retrieving a single Controller");
  refused(single, 34 + 300, 0, "Maximum number of drives supported by controller is 0.");
  refused(single, 34 + 296, 0,
          "Controller returned maximum volumes per array with the value of 0.");
}

// A refresh that fails adds no controller: a failed device call carries the call's error, and
// more level descriptors than a record holds are refused once the new record exists.
TEST_F(RetrievalFailureTest, FailedRefreshesAddNoController) {
  simulated.driver->InjectFault({sim::Fault::Kind::DeviceFailure, fn::kGetExecutorInformation, 0});
  ExpectThrows<TaluException>([&] { management.SetControllers(); },
                              "Unable to retrieve executor information. IOCTL was unsuccessful.",
                              ERROR_IO_DEVICE);
  simulated.driver->InjectFault(
      {sim::Fault::Kind::CountBeyondBuffer, fn::kGetControllerCapabilities});
  ExpectThrows<TaluException>(
      [&] { management.SetControllers(); },
      "RAID level descriptors count retrieved from the driver is grater than maximum supported.",
      kAnswerCheck);
  EXPECT_TRUE(management.GetControllers().GetControllersById().empty());
}

// A list answer may count up to its bound: the controller's maximum for arrays and volumes, and
// what fits in the whole-controller drive answer (507 current entries, 784 of the 1.0 layout).
// Within the bound the all-zero entries behind the real ones are refused; past it, the count.
TEST(ListCountBound, FollowsTheControllerAndTheEntrySizeOfTheVersion) {
  for (int specMajor : {4, 1}) {
    SimulatedMachine simulated("demo", specMajor);
    StorageManagement management;
    management.SetControllers();
    const Controller& dorn = testing::Record(management, kDorn);
    std::uint32_t function = 0;
    std::uint16_t count = 0;
    simulated.recorder->Rewrite([&](const SentRequest& request, BYTE* out, DWORD) {
      if (request.functionCode == function) Put16(out + 32, count);
    });
    const struct {
      std::uint32_t function;
      std::uint16_t fits;
      const char *kind, *counted;
      std::function<void()> read;
    } lists[] = {
        {fn::kGetArrayInfo, dorn.maxVolumesPerController, "array", "Array",
         [&] { management.SetArrays(dorn, management.GetArrays()); }},
        {fn::kGetVolumeInfo, dorn.maxVolumesPerController, "volume", "Volume",
         [&] { management.SetVolumes(dorn, management.GetVolumes()); }},
        {fn::kGetDriveInfo, std::uint16_t(specMajor == 4 ? 507 : 784), "drive", "Drives",
         [&] { management.SetDrives(dorn, management.GetDrives()); }},
    };
    for (const auto& list : lists) {
      SCOPED_TRACE(specMajor);
      function = list.function;
      count = list.fits;
      ExpectThrows<TaluException>(
          list.read, "Empty " + std::string(list.kind) + " identifier retrieved", kAnswerCheck);
      ++count;
      ExpectThrows<TaluException>(
          list.read,
          list.counted + std::string(" count retrieved from the driver is grater than maximum "
                                     "supported."),
          kAnswerCheck);
    }
  }
}

TEST_F(RetrievalFailureTest, DriveIdentifierAnswersThatCannotBeTrusted) {
  management.SetControllers();
  Fault(fn::kGetDriveInfo, 4);
  simulated.driver->InjectFault({sim::Fault::Kind::ZeroIdentifier, fn::kGetDriveIdentifiers, 2});
  ExpectThrows<TaluException>([&] { Drives(); }, "Empty drive identifier retrieved", kAnswerCheck);
  // A count beyond the room the request made for the identifiers is never read.
  Fault(fn::kGetDriveInfo, 4);
  simulated.driver->InjectFault({sim::Fault::Kind::CountBeyondBuffer, fn::kGetDriveIdentifiers});
  ExpectThrows<TaluException>(
      [&] { Drives(); },
      "Identifier count retrieved from the driver is greater than the answer holds.", kAnswerCheck);
  EXPECT_TRUE(management.GetDrives().empty());
}

TEST_F(RetrievalFailureTest, ControllerWithoutVolumesGetsMinimalListRequests) {
  simulated.driver->Edit([](sim::Topology& model) {
    for (auto& c : model.controllers) {
      c.volumes.clear();
      c.arrays.clear();
      c.maxVolumesPerController = 0;
    }
  });
  management.SetControllers();
  simulated.recorder->Clear();
  Arrays();
  Volumes();
  EXPECT_EQ(simulated.recorder->Requests(fn::kGetArrayInfo).at(0).length, 49u);
  // 34 bytes cannot hold the 49-byte query record; the request keeps the record's size.
  EXPECT_EQ(simulated.recorder->Requests(fn::kGetVolumeInfo).at(0).length, 49u);
  EXPECT_TRUE(management.GetArrays().empty());
  EXPECT_TRUE(management.GetVolumes().empty());
}

TEST_F(RetrievalFailureTest, UnsupportedSpecificationVersionLeavesTheObjectUsable) {
  simulated.recorder->Rewrite([](const SentRequest& request, BYTE* out, DWORD) {
    if (request.functionCode == fn::kGetExecutorInformation) Put16(out + 32, 5);
  });
  try {
    management.SetControllers();
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unsupported VESK specification version: 5.0!");
  }
  simulated.recorder->Rewrite(nullptr);
  FullRefresh(management);
  EXPECT_EQ(management.GetControllers().GetControllersById().size(), 2u);
}

}  // namespace
}  // namespace Vesk
