// Every message of retrieval and of the management operations, each made to happen by a fault of
// the simulated driver or by an answer no well-behaved driver gives.
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

const vesk_guid kSomeId = Guid("0badbad0-0000-4000-8000-000000000001");
namespace fn = vesk::sim::function;

constexpr std::uint32_t kAnswerCheck = 13;  // the answer readers' error code (ERROR_INVALID_DATA)

void Put16(BYTE* at, std::uint16_t value) { std::memcpy(at, &value, 2); }

class RetrievalFailureTest : public ::testing::Test {
 protected:
  void Fault(std::uint32_t function, std::uint32_t status, int count = 1) {
    simulated.driver->InjectFault({sim::Fault::Kind::Status, function, status, count});
  }
  const Controller& Record(const vesk_guid& id) {
    return *management.GetControllers().GetControllersById().at(id);
  }

  SimulatedMachine simulated{"demo"};
  StorageManagement management;
};

TEST_F(RetrievalFailureTest, DriverStatusesOfControllerQueries) {
  Fault(fn::kGetExecutorInformation, 9);
  ExpectThrows<VeskException>(
      [&] { management.SetControllers(); },
      "Unable to retrieve executor information. IOCTL completed with error.", 9);
  Fault(fn::kGetControllerInfo, 260);
  ExpectThrows<VeskException>(
      [&] { management.SetControllers(); },
      "Unable to retrieve controller information. IOCTL completed with error.", 260);
  // The first device's controller made it before the second one's capabilities failed.
  sim::Fault second(sim::Fault::Kind::Status, fn::kGetControllerCapabilities, 6);
  second.pdoName = L"\\Device\\RaidPort1";
  simulated.driver->InjectFault(second);
  ExpectThrows<VeskException>(
      [&] { management.SetControllers(); },
      "Unable to retrieve controller capabilities. IOCTL completed with error.", 6);
  EXPECT_EQ(management.GetControllers().GetControllersById().size(), 1u);
}

// A driver status on a query of a single controller or of a list is that query's message with the
// status, and the targets stay as they were.
TEST_F(RetrievalFailureTest, DriverStatusesOfASingleControllerAndOfLists) {
  management.SetControllers();
  const Controller& dorn = Record(kDorn);
  const std::function<void()> single = [&] {
    management.GetSingleController(dorn.GetDeviceHandle(), kDorn);
  };
  const std::function<void()> arrays = [&] { management.SetArrays(dorn, management.GetArrays()); };
  const std::function<void()> volumes = [&] {
    management.SetVolumes(dorn, management.GetVolumes());
  };
  const std::function<void()> drives = [&] { management.SetDrives(dorn, management.GetDrives()); };
  const struct {
    std::uint32_t function, status;
    const char* what;
    const std::function<void()>& call;
  } cases[] = {
      {fn::kGetExecutorInformation, 9, "executor information", single},
      {fn::kGetControllerInfo, 260, "controller information", single},
      {fn::kGetControllerCapabilities, 6, "controller capabilities", single},
      {fn::kGetArrayInfo, 3, "array information", arrays},
      {fn::kGetVolumeInfo, 3, "volume information", volumes},
      {fn::kGetDriveInfo, 3, "drive information", drives},
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
      drives, "Unable to retrieve drive identifiers. IOCTL completed with error.", 260);
  // ... or one of the single drives fails with anything but "gone".
  Fault(fn::kGetDriveInfo, 4);
  Fault(fn::kGetDriveInfo, 14);
  ExpectThrows<VeskException>(
      drives, "Unable to retrieve drive information. IOCTL completed with error.", 14);
  EXPECT_TRUE(management.GetArrays().empty());
  EXPECT_TRUE(management.GetVolumes().empty());
  EXPECT_TRUE(management.GetDrives().empty());
}

TEST_F(RetrievalFailureTest, DrivesThatVanishDuringPerDriveReadingAreLeftOut) {
  management.SetControllers();
  const Controller& dorn = Record(kDorn);
  Fault(fn::kGetDriveInfo, 4);
  int single = 0;
  simulated.recorder->Rewrite([&](const SentRequest& request, BYTE* out, DWORD) {
    if (request.functionCode == fn::kGetDriveInfo && request.bytes[32] == VESK_SCOPE_DRIVE &&
        ++single == 2) {
      const std::uint32_t gone = VESK_STATUS_DRIVE_NOT_FOUND;
      std::memcpy(out + 20, &gone, 4);
    }
  });
  management.SetDrives(dorn, management.GetDrives());
  EXPECT_EQ(management.GetDrives().size(), 5u);  // six drives, the second one gone
  EXPECT_EQ(management.GetDrives().count(Guid("d0e10000-0000-4000-8000-000000000001")), 0u);
  std::set<int> targets;
  for (auto& [id, drive] : management.GetDrives()) targets.insert(drive->scsiAddress.target);
  EXPECT_EQ(targets, (std::set<int>{0, 1, 2, 3, 4}));
}

TEST_F(RetrievalFailureTest, ControllerAnswersBeyondTheLimits) {
  auto rewriteController = [&](std::function<void(BYTE*)> edit) {
    simulated.recorder->Rewrite([edit](const SentRequest& request, BYTE* out, DWORD) {
      if (request.functionCode == fn::kGetControllerInfo) edit(out);
    });
  };
  rewriteController([](BYTE* out) { Put16(out + 32, 0); });
  ExpectThrows<TaluException>([&] { management.SetControllers(); },
                              "Invalid controller count retrieved with the value of 0.",
                              kAnswerCheck);
  rewriteController([](BYTE* out) { Put16(out + 32, 3); });  // two devices were found
  ExpectThrows<TaluException>([&] { management.SetControllers(); },
                              "Controller count retrieved is greater than expected.", kAnswerCheck);
  rewriteController([](BYTE* out) { Put16(out + 34 + 296, 0); });
  ExpectThrows<TaluException>([&] { management.SetControllers(); },
                              "Controller returned maximum volumes per array with the value of 0.",
                              kAnswerCheck);
  EXPECT_TRUE(management.GetControllers().GetControllersById().empty());

  simulated.recorder->Rewrite(nullptr);
  management.SetControllers();
  const auto device = Record(kSata).GetDeviceHandle();
  auto single = [&] { management.GetSingleController(device, kSata); };
  rewriteController([](BYTE* out) { Put16(out + 32, 0); });
  ExpectThrows<TaluException>(single, "Invalid controller count retrieved with the value of 0.",
                              kAnswerCheck);
  rewriteController([](BYTE* out) { Put16(out + 32, 2); });
  ExpectThrows<TaluException>(single, "Expected a count of 1 for retrieving a single Controller",
                              kAnswerCheck);
  rewriteController([](BYTE* out) { Put16(out + 34 + 300, 0); });
  ExpectThrows<TaluException>(single, "Maximum number of drives supported by controller is 0.",
                              kAnswerCheck);
  rewriteController([](BYTE* out) { Put16(out + 34 + 296, 0); });
  ExpectThrows<TaluException>(
      single, "Controller returned maximum volumes per array with the value of 0.", kAnswerCheck);
}

TEST_F(RetrievalFailureTest, TooManyRaidLevelDescriptorsFreeTheNewRecord) {
  simulated.driver->InjectFault(
      {sim::Fault::Kind::CountBeyondBuffer, fn::kGetControllerCapabilities});
  ExpectThrows<TaluException>(
      [&] { management.SetControllers(); },
      "RAID level descriptors count retrieved from the driver is grater than maximum supported.",
      kAnswerCheck);
  EXPECT_TRUE(management.GetControllers().GetControllersById().empty());
}

TEST_F(RetrievalFailureTest, ListCountsBeyondTheControllersLimits) {
  management.SetControllers();
  const Controller& dorn = Record(kDorn);
  const std::uint16_t maxVolumes = dorn.maxVolumesPerController;
  std::uint16_t count = 0;
  simulated.recorder->Rewrite([&](const SentRequest& request, BYTE* out, DWORD) {
    if (request.functionCode == fn::kGetArrayInfo || request.functionCode == fn::kGetVolumeInfo) {
      Put16(out + 32, count);
    }
  });
  // As many as allowed pass the count check; the all-zero entries behind the real ones do not.
  count = maxVolumes;
  ExpectThrows<TaluException>([&] { management.SetArrays(dorn, management.GetArrays()); },
                              "Empty array identifier retrieved", kAnswerCheck);
  ExpectThrows<TaluException>([&] { management.SetVolumes(dorn, management.GetVolumes()); },
                              "Empty volume identifier retrieved", kAnswerCheck);
  count = maxVolumes + 1;
  ExpectThrows<TaluException>([&] { management.SetArrays(dorn, management.GetArrays()); },
                              "Array count retrieved from the driver is grater than maximum "
                              "supported.",
                              kAnswerCheck);
  ExpectThrows<TaluException>([&] { management.SetVolumes(dorn, management.GetVolumes()); },
                              "Volume count retrieved from the driver is grater than maximum "
                              "supported.",
                              kAnswerCheck);
}

// The bound of the whole-controller drive answer lies between 507 and 508 current entries, and
// between 784 and 785 entries of the 1.0 layout.
TEST(DriveCountBound, FollowsTheEntrySizeOfTheVersion) {
  for (auto [specMajor, fits] : {std::pair{4, 507}, std::pair{1, 784}}) {
    SimulatedMachine simulated("demo", specMajor);
    StorageManagement management;
    management.SetControllers();
    const Controller& sata = *management.GetControllers().GetControllersById().at(kSata);
    std::uint16_t count = 0;
    simulated.recorder->Rewrite([&](const SentRequest& request, BYTE* out, DWORD) {
      if (request.functionCode == fn::kGetDriveInfo) Put16(out + 32, count);
    });
    // Within the bound; the all-zero entries behind the real ones are refused.
    count = static_cast<std::uint16_t>(fits);
    ExpectThrows<TaluException>([&] { management.SetDrives(sata, management.GetDrives()); },
                                "Empty drive identifier retrieved", kAnswerCheck);
    count = static_cast<std::uint16_t>(fits + 1);
    ExpectThrows<TaluException>(
        [&] { management.SetDrives(sata, management.GetDrives()); },
        "Drives count retrieved from the driver is grater than maximum supported.", kAnswerCheck);
  }
}

TEST_F(RetrievalFailureTest, DriveIdentifierAnswersThatCannotBeTrusted) {
  management.SetControllers();
  const Controller& dorn = Record(kDorn);
  Fault(fn::kGetDriveInfo, 4);
  simulated.driver->InjectFault({sim::Fault::Kind::ZeroIdentifier, fn::kGetDriveIdentifiers, 2});
  ExpectThrows<TaluException>([&] { management.SetDrives(dorn, management.GetDrives()); },
                              "Empty drive identifier retrieved", kAnswerCheck);
  // A count beyond the room the request made for the identifiers is never read.
  Fault(fn::kGetDriveInfo, 4);
  simulated.driver->InjectFault({sim::Fault::Kind::CountBeyondBuffer, fn::kGetDriveIdentifiers});
  ExpectThrows<TaluException>(
      [&] { management.SetDrives(dorn, management.GetDrives()); },
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
  management.SetArrays(Record(kSata), management.GetArrays());
  management.SetVolumes(Record(kSata), management.GetVolumes());
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

TEST_F(RetrievalFailureTest, TransportFailuresCarryTheDeviceError) {
  simulated.driver->InjectFault({sim::Fault::Kind::DeviceFailure, fn::kGetExecutorInformation, 0});
  ExpectThrows<TaluException>([&] { management.SetControllers(); },
                              "Unable to retrieve executor information. IOCTL was unsuccessful.",
                              ERROR_IO_DEVICE);
}

// Each operation, answered with a status, raises its own message with that status.
struct OperationCase {
  const char* name;
  std::uint32_t functionCode;
  const char* message;
  std::function<void(StorageManagement&, const Controller&)> run;
  const char* transport = nullptr;  // the operation table's own text, where it differs
};

std::vector<OperationCase> Operations() {
  using C = const Controller&;
  using S = StorageManagement&;
  auto d = [](C c) { return c.GetDeviceHandle().get(); };
  return {
      {"ReadPatrol", fn::kSetReadPatrolPolicy, "Unable to set read patrol policy.",
       [d](S s, C c) { s.SetControllerReadPatrolPolicy(d(c), true); }},
      {"Rohi", fn::kSetRohiPolicy, "Unable to set controller rohi policy.",
       [d](S s, C c) { s.SetControllerRohiPolicy(d(c), false); }},
      {"ArrayCache", fn::kSetArrayCachePolicy, "Unable to set array cache policy.",
       [d](S s, C c) { s.SetArrayCachePolicy(d(c), kSomeId, true); }},
      {"AddDrives", fn::kAddDrivesToArray, "Unable to add drives to array.",
       [d](S s, C c) { s.AddDrivesToArray(d(c), kSomeId, {kSomeId}); }},
      {"CancelVerify", fn::kCancelVerification, "Unable to cancel verify volume.",
       [d](S s, C c) { s.CancelVerifyVolume(d(c), kSomeId); },
       "Unable to cancel volume verification."},
      {"ChangeLayout", fn::kChangeRaidLayout, "Unable to change RAID layout.",
       [d](S s, C c) { s.ChangeRaidLayout(d(c), kSomeId, vesk_strip_size{64}, VESK_RAID_5, {}); }},
      {"Create", fn::kCreateVolume, "Unable to create volume.",
       [](S s, C c) { s.CreateVolume(c, vesk_new_volume_parameters{}, {}); }},
      {"Delete", fn::kDeleteVolume, "Unable to delete volume.",
       [d](S s, C c) { s.DeleteVolume(d(c), kSomeId); }},
      {"Expand", fn::kExpandVolume, "Unable to expand volume.",
       [d](S s, C c) { s.ExpandVolume(d(c), kSomeId, 1); }},
      {"Initialize", fn::kInitializeVolume, "Unable to initialize volume.",
       [d](S s, C c) { s.InitializeVolume(d(c), kSomeId); }},
      {"MarkVolumeNormal", fn::kMarkVolumeAsNormal, "Unable to mark volume as normal.",
       [d](S s, C c) { s.MarkVolumeAsNormal(d(c), kSomeId); }},
      {"Rebuild", fn::kRebuildVolume, "Unable to rebuild volume.",
       [d](S s, C c) { s.RebuildVolume(d(c), kSomeId, {}); }},
      {"Rename", fn::kRenameVolume, "Unable to rename volume.",
       [d](S s, C c) { s.RenameVolume(d(c), kSomeId, "x"); }},
      {"VolumeCache", fn::kSetVolumeCachePolicy, "Unable to set volume cache policy.",
       [d](S s, C c) { s.SetVolumeCachePolicy(d(c), kSomeId, vesk_volume_cache_policy{1}); }},
      {"Rwh", fn::kSetVolumeRwhPolicy, "Unable to set volume RWH policy.",
       [d](S s, C c) {
         s.SetVolumeRaidWriteHolePolicy(d(c), kSomeId, vesk_rwh_policy{0}, vesk_invalid_guid);
       }},
      {"Verify", fn::kVerifyVolume, "Unable to verify volume.",
       [d](S s, C c) { s.VerifyVolume(d(c), kSomeId, false); }},
      {"Led", fn::kActivateDriveLed, "Unable to activate drive LED.",
       [](S s, C c) { s.ActivateDriveLed(c, kSomeId, true); }},
      {"ClearMetadata", fn::kClearDriveMetadata, "Unable to clear drive metadata.",
       [d](S s, C c) { s.ClearDriveMetadata(d(c), kSomeId); }},
      {"DisableCache", fn::kSetVolatileWriteCache, "Unable to set write cache on drive.",
       [d](S s, C c) { s.DisableWriteCacheOnDrive(d(c), kSomeId); }},
      {"EnableCache", fn::kSetVolatileWriteCache, "Unable to set write cache on drive.",
       [d](S s, C c) { s.EnableWriteCacheOnDrive(d(c), kSomeId); }},
      {"SetCache", fn::kSetVolatileWriteCache, "Unable to set write cache on drive.",
       [d](S s, C c) { s.SetWriteCacheOnDrive(d(c), kSomeId, true); }},
      {"MarkDriveNormal", fn::kMarkDriveAsNormal, "Unable to mark drive as normal.",
       [d](S s, C c) { s.MarkDriveAsNormal(d(c), kSomeId); }},
      {"MarkSpare", fn::kMarkAsSpare, "Unable to mark drive as spare.",
       [d](S s, C c) { s.MarkDriveAsSpare(d(c), kSomeId); }},
      {"RemoveDrive", fn::kRemoveDrive, "Unable to remove drive.",
       [d](S s, C c) { s.RemoveDrive(d(c), kSomeId); }},
      {"ResetSmart", fn::kResetSmartEvent, "Unable to reset smart event.",
       [d](S s, C c) { s.ResetSmartEvent(d(c), kSomeId); },
       "Unable to reset SMART event from drive."},
      {"UnmarkSpare", fn::kUnmarkSpare, "Unable to unmark spare drive.",
       [d](S s, C c) { s.UnmarkSpareDrive(d(c), kSomeId); }},
  };
}

class OperationFailureTest : public ::testing::TestWithParam<OperationCase> {};

TEST_P(OperationFailureTest, DriverStatusAndTransportFailureBecomeTheOperationsMessages) {
  const OperationCase& c = GetParam();
  SimulatedMachine simulated("demo");
  StorageManagement management;
  management.SetControllers();
  const Controller& sata = *management.GetControllers().GetControllersById().at(kSata);
  // A status the driver would not give for these arguments, so that the fault is what answers.
  simulated.driver->InjectFault({sim::Fault::Kind::Status, c.functionCode, 0xFFFF});
  ExpectThrows<VeskException>([&] { c.run(management, sata); },
                              c.message + std::string(" IOCTL completed with error."), 0xFFFF);
  EXPECT_EQ(simulated.driver->RequestCount(c.functionCode), 1u) << "sent once";

  simulated.driver->InjectFault({sim::Fault::Kind::ReturnCode, c.functionCode, 0x10000});
  try {
    c.run(management, sata);
    ADD_FAILURE() << "no exception";
  } catch (const VeskException&) {
    ADD_FAILURE() << "a transport failure is not a driver status";
  } catch (const TaluException& e) {
    EXPECT_EQ(e.Message(),
              (c.transport ? c.transport : c.message) + std::string(" IOCTL was unsuccessful."));
  }
  EXPECT_EQ(simulated.driver->RequestCount(c.functionCode), 2u) << "the next request went out";
}

INSTANTIATE_TEST_SUITE_P(AllOperations, OperationFailureTest, ::testing::ValuesIn(Operations()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Vesk
