// A full refresh against the simulated RAID driver, for every management-specification version:
// the native records must say what the driver's model says.
#include <gtest/gtest.h>

#include <set>

#include "tests/Watchdog.h"
#include "tests/e2e/Harness.h"
#include "tests/managed/ManagedTestSupport.h"

namespace Vesk {
namespace {

using testing::FullRefresh;
using testing::Record;
using testing::SimulatedMachine;
using testing::Text;
namespace sim = vesk::sim;
namespace fn = vesk::sim::function;

void ExpectController(const Controller& record, const sim::Controller& model, int specMajor,
                      std::uint16_t deviceNumber) {
  SCOPED_TRACE(model.name);
  EXPECT_EQ(Text(record.name, sizeof record.name), model.name);
  EXPECT_EQ(+record.vendorId, model.vendorId);
  EXPECT_EQ(+record.deviceId, model.deviceId);
  EXPECT_EQ(+record.subsystemId, model.subsystemId);
  EXPECT_EQ(+record.hardwareRevision, model.hardwareRevision);
  EXPECT_EQ(record.preosDriverLoaded(), model.preosDriverLoaded);
  EXPECT_TRUE(record.osDriverVersion == model.osDriverVersion);
  EXPECT_TRUE(record.preosDriverVersion == model.preosDriverVersion);
  EXPECT_EQ(+record.maxVolumesPerArray, model.maxVolumesPerArray);
  EXPECT_EQ(+record.maxVolumesPerController, model.maxVolumesPerController);
  EXPECT_EQ(+record.maxDrivesPerController, model.maxDrivesPerController);
  EXPECT_EQ(record.readPatrolEnabled(), model.readPatrolEnabled);
  EXPECT_EQ(record.rohiEnabled(), model.rohiEnabled);
  EXPECT_EQ(+record.type, model.type);
  if (model.type == VESK_CONTROLLER_SATA) {
    EXPECT_EQ(+record.mode(), model.mode);
  }
  EXPECT_EQ(record.apiVersion, static_cast<std::uint32_t>(specMajor - 1));
  EXPECT_EQ(record.executorInformation[0], specMajor);  // the version the driver stated
  ASSERT_NE(record.GetDeviceHandle(), nullptr);
  EXPECT_TRUE(record.GetDeviceHandle()->GetControllerId() == model.id);
  EXPECT_EQ(record.GetDeviceHandle()->device->id, deviceNumber);

  std::uint16_t maxDrives = 0;
  for (std::size_t i = 0; i < kMaxRaidLevelDescriptors; ++i) {
    const RaidLevelDescriptor& slot = record.raidLevelDescriptors[i];
    if (i >= model.raidLevels.size()) {
      EXPECT_EQ(+slot.level, 0);
      continue;
    }
    const sim::RaidLevelCapability& level = model.raidLevels[i];
    EXPECT_EQ(+slot.level, level.level);
    EXPECT_EQ(+slot.minDrivesCount, level.minDrives);
    EXPECT_EQ(+slot.maxDrivesCount, level.maxDrives);
    EXPECT_EQ(slot.oddDriveCount(), level.oddCount);
    EXPECT_EQ(slot.evenDriveCount(), level.evenCount);
    EXPECT_EQ(+slot.defaultStripSize, level.defaultStripSize);
    EXPECT_EQ(+slot.supportedStripSizes, level.stripSizeMask);
    maxDrives = std::max(maxDrives, level.maxDrives);
    // A 1.0 driver reports no migrations; the reader supplies its fixed table.
    if (specMajor == 1) continue;
    std::vector<vesk_migration_descriptor> migrations;
    for (const auto& m : level.migrations) {
      migrations.push_back({static_cast<vesk_raid_level>(m.targetLevel), m.minAdditionalDrives});
    }
    EXPECT_EQ(slot.migrationDescriptors, migrations);
  }
  EXPECT_EQ(+record.maxDrivesPerArray, maxDrives);
}

class RefreshTest : public ::testing::TestWithParam<int> {};

TEST_P(RefreshTest, FullRefreshYieldsTheDriversModel) {
  const int specMajor = GetParam();
  SimulatedMachine simulated("demo", specMajor);
  // Each policy bit on one controller only, so that neither can stand in for the other.
  simulated.driver->Edit([](sim::Topology& edited) {
    edited.controllers.at(0).readPatrolEnabled = true;
    edited.controllers.at(1).rohiEnabled = true;
  });
  const sim::Topology model = simulated.Model();
  StorageManagement management;
  FullRefresh(management);

  const ControllerMap& controllers = management.GetControllers().GetControllersById();
  ASSERT_EQ(controllers.size(), model.controllers.size());
  std::size_t arrays = 0, volumes = 0, drives = 0;
  // A record missing from a map fails the test through at(). Discovery numbers devices by
  // driver-table row: zrDiskE (row 0) before zrTalu (row 3).
  std::uint16_t deviceNumber = 0;
  for (const sim::Controller& c : model.controllers) {
    ExpectController(*controllers.at(c.id), c, specMajor, deviceNumber++);

    for (const sim::Array& a : c.arrays) {
      ++arrays;
      const Array& record = *management.GetArrays().at(a.id);
      EXPECT_EQ(Text(record.name, sizeof record.name), a.name);
      EXPECT_EQ(+record.totalSize, c.ArrayTotalSize(a));
      EXPECT_EQ(+record.freeSize, c.ArrayFreeSize(a));
      EXPECT_EQ(record.writeCacheEnabled(), a.writeCacheEnabled);
      EXPECT_TRUE(record.controllerId == c.id);
    }
    for (const sim::Volume& v : c.volumes) {
      ++volumes;
      const Volume& record = *management.GetVolumes().at(v.id);
      SCOPED_TRACE(v.name);
      EXPECT_EQ(Text(record.name, sizeof record.name), v.name);
      EXPECT_TRUE(record.arrayId == v.arrayId);
      EXPECT_EQ(+record.raidLevel, v.raidLevel);
      EXPECT_EQ(+record.size, v.size);
      EXPECT_EQ(+record.stripSize, v.stripSize);
      EXPECT_EQ(+record.state, v.state);
      EXPECT_EQ(record.initialized(), v.initialized);
      EXPECT_EQ(record.systemVolume(), v.systemVolume);
      EXPECT_EQ(+record.cachePolicy(), v.cachePolicy);
      EXPECT_EQ(+record.rwhPolicy(), v.rwhPolicy);
      EXPECT_TRUE(record.controllerId == c.id);
    }
    std::uint8_t position = 0;
    for (const sim::Drive& d : c.drives) {
      ++drives;
      const Drive& record = *management.GetDrives().at(d.id);
      SCOPED_TRACE(d.serialNumber);
      EXPECT_EQ(Text(record.serialNumber, sizeof record.serialNumber), d.serialNumber);
      EXPECT_EQ(Text(record.modelNumber, sizeof record.modelNumber), d.modelNumber);
      EXPECT_EQ(+record.size, d.blocks);
      EXPECT_EQ(+record.logicalBlockSize, d.logicalBlockSize);
      EXPECT_EQ(+record.totalSize, d.Capacity());
      EXPECT_EQ(+record.status, d.status);
      EXPECT_EQ(+record.usage, c.UsageOf(d));
      EXPECT_EQ(+record.type, d.type);
      EXPECT_EQ(record.writeCacheEnabled(), d.writeCacheEnabled);
      EXPECT_EQ(record.systemDrive(), d.systemDrive);
      EXPECT_EQ(record.containsPartition(), d.containsPartition && specMajor > 1);  // no bit in 1.0
      const sim::Array* array = const_cast<sim::Controller&>(c).ArrayOfDrive(d.id);
      EXPECT_TRUE(record.arrayId == (array ? array->id : vesk_invalid_guid));
      EXPECT_TRUE(record.controllerId == c.id);
      const Scsi expected = d.type == VESK_DRIVE_NVME
                                ? Scsi{std::uint8_t(deviceNumber - 1), 0, position, 0}
                                : Scsi{std::uint8_t(deviceNumber - 1), d.portNumber, 0, 0};
      EXPECT_TRUE(record.scsiAddress == expected) << int(record.scsiAddress.target);
      if (d.type == VESK_DRIVE_NVME) {
        EXPECT_EQ(+record.vendorId(), d.pciVendorId);
        EXPECT_EQ(+record.pciNegotiatedLinkRate(), d.pciLinkRate);
        EXPECT_EQ(+record.negotiatedLinkWidth(), d.pciLinkWidth);
        EXPECT_EQ(record.dualControllerNvme(), d.dualControllerNvme);
        // 1.0 describes NVMe drives without their placement.
        EXPECT_EQ(+record.rootPortOffset(), specMajor == 1 ? 0 : d.rootPortOffset);
        EXPECT_EQ(+record.physicalSlotNumber(), specMajor == 1 ? 0 : d.physicalSlotNumber);
      } else {
        EXPECT_EQ(+record.portNumber(), d.portNumber);
        EXPECT_EQ(record.isSsd(), d.isSsd);
      }
      ++position;
    }
  }
  EXPECT_EQ(management.GetArrays().size(), arrays);
  EXPECT_EQ(management.GetVolumes().size(), volumes);
  EXPECT_EQ(management.GetDrives().size(), drives);
}

TEST_P(RefreshTest, ControllerRequestsUseTheNegotiatedLayout) {
  const int specMajor = GetParam();
  SimulatedMachine simulated("demo", specMajor);
  StorageManagement management;
  management.SetControllers();
  // A 3.0 driver is asked in the 2.0 layout during a full refresh, sized for both devices.
  const std::uint32_t requestVersion = specMajor == 3 ? 1 : specMajor - 1;
  const std::uint32_t entry[] = {335, 370, 370, 403};
  const auto requests = simulated.recorder->Requests(fn::kGetControllerInfo);
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) {
    EXPECT_EQ(request.apiVersion, requestVersion);
    EXPECT_EQ(request.length, entry[requestVersion] * 2 + 34);
  }
  const auto capabilities = simulated.recorder->Requests(fn::kGetControllerCapabilities);
  ASSERT_EQ(capabilities.size(), 2u);
  EXPECT_EQ(capabilities[0].length, specMajor == 1 ? 83u : 343u);
  EXPECT_EQ(capabilities[0].apiVersion, specMajor == 1 ? 0u : 1u);

  // Single-controller reads use the record index and room for one entry.
  simulated.recorder->Clear();
  const Controller& known = *management.GetControllers().GetControllersById().begin()->second;
  std::unique_ptr<Controller> single =
      management.GetSingleController(known.GetDeviceHandle(), known.id);
  EXPECT_TRUE(single->id == known.id);
  EXPECT_EQ(single->apiVersion, known.apiVersion);
  EXPECT_EQ(single->GetDeviceHandle(), known.GetDeviceHandle());
  const auto singleRequests = simulated.recorder->Requests(fn::kGetControllerInfo);
  ASSERT_EQ(singleRequests.size(), 1u);
  EXPECT_EQ(singleRequests[0].apiVersion, std::uint32_t(specMajor - 1));
  EXPECT_EQ(singleRequests[0].length, entry[specMajor - 1] + 34);
}

INSTANTIATE_TEST_SUITE_P(SpecificationVersions, RefreshTest, ::testing::Values(1, 2, 3, 4),
                         [](const auto& info) { return "Spec" + std::to_string(info.param); });

TEST(Refresh, RefreshingAgainKeepsControllerRecordsAndFreesDuplicates) {
  SimulatedMachine simulated("demo");
  StorageManagement management;
  FullRefresh(management);
  const std::size_t volumes = management.GetVolumes().size();
  // A second pass into maps that still hold everything inserts nothing and leaks nothing.
  management.SetControllers();
  for (auto& [id, c] : management.GetControllers().GetControllersById()) {
    management.SetArrays(*c, management.GetArrays());
    management.SetVolumes(*c, management.GetVolumes());
    management.SetDrives(*c, management.GetDrives());
  }
  EXPECT_EQ(management.GetControllers().GetControllersById().size(), 2u);
  EXPECT_EQ(management.GetVolumes().size(), volumes);
}

// A driver update reloads the device: the controller comes back with the same identifier under
// another management-specification version. A full refresh keeps its record and must read it in
// the new driver's layout from then on.
TEST(Refresh, AControllerFoundAgainUnderAnotherDriverIsReadInItsLayout) {
  SimulatedMachine simulated("demo");
  StorageManagement management;
  FullRefresh(management);
  const Controller* record = &Record(management, testing::demo::kSata);
  for (const int specMajor : {2, 4, 1, 3}) {
    SCOPED_TRACE("driver " + std::to_string(specMajor) + ".0");
    simulated.driver->Edit([&](sim::Topology& model) {
      model.controllers[0].specMajor = static_cast<std::uint8_t>(specMajor);
      model.controllers[0].raidLevels[0].maxDrives += 1;
    });
    simulated.machine.RemoveDevice(simulated.devices[0]);
    simulated.devices[0] = simulated.AddDevice(simulated.Model().controllers[0]);
    FullRefresh(management);

    ASSERT_EQ(&Record(management, testing::demo::kSata), record);
    const sim::Controller model = simulated.Model().controllers[0];
    ExpectController(*record, model, specMajor, record->GetDeviceHandle()->device->id);
    for (const sim::Drive& d : model.drives) {
      const Drive& drive = *management.GetDrives().at(d.id);
      EXPECT_EQ(Text(drive.serialNumber, sizeof drive.serialNumber), d.serialNumber);
    }
    for (const sim::Volume& v : model.volumes) {
      const Volume& volume = *management.GetVolumes().at(v.id);
      EXPECT_EQ(Text(volume.name, sizeof volume.name), v.name);
    }
  }
}

// An orderly removal goes ahead only if the library has closed its handle by the time it answers
// the query.
TEST(Refresh, ControllersThatDisappearStayUntilTheCallerEmptiesTheContainer) {
  for (const auto removal : {sim::Machine::Removal::Surprise, sim::Machine::Removal::Orderly}) {
    SCOPED_TRACE(removal == sim::Machine::Removal::Orderly ? "orderly" : "surprise");
    SimulatedMachine simulated("demo");
    StorageManagement management;
    management.SetControllers();
    simulated.machine.RemoveDevice(simulated.devices[1], removal);
    simulated.machine.WaitForNotifications();
    EXPECT_FALSE(simulated.machine.IsPresent(simulated.devices[1]));
    management.SetControllers();
    EXPECT_EQ(management.GetControllers().GetControllersById().size(), 2u);

    Controllers fresh;
    management.SetControllers(fresh);
    EXPECT_EQ(fresh.GetControllersById().size(), 1u);
    ClearMap(fresh.GetControllersById());
  }
}

// Another program keeps a controller's device open and so refuses its orderly removal. The
// library let go of its handle on the query and takes the device up again on the refusal: no
// polling refresh of the managed facade fails, and the controller is still reached.
TEST(Refresh, ARefusedOrderlyRemovalLeavesTheControllerReachable) {
  Vesk::test::Watchdog watchdog("polling refreshes after a refused removal");
  SimulatedMachine simulated("demo");
  VESK_Managed::StorageManagementBase facade;
  VESK_Managed::testing::Populate(facade);
  const sim::Controller model = simulated.Model().controllers[0];
  HANDLE other =
      CreateFile2(DeviceBuilder::DevicePath(model.pdoName).c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  simulated.machine.RemoveDevice(simulated.devices[0], sim::Machine::Removal::Orderly);
  simulated.machine.WaitForNotifications();
  ASSERT_TRUE(simulated.machine.IsPresent(simulated.devices[0]));

  int failed = 0;
  std::string failure;
  for (int look = 0; look < 5; ++look) {
    try {
      VESK_Managed::testing::PollingRefresh(facade);
    } catch (const std::exception& e) {
      ++failed;
      failure = e.what();
    }
  }
  EXPECT_EQ(failed, 0) << failure;
  const auto controller = facade.Controllers()[model.deviceId];
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(facade.SetControllerRohiPolicy(*controller, !model.rohiEnabled),
            VESK_Managed::vesk_status::Success);
  EXPECT_EQ(simulated.Model().controllers[0].rohiEnabled, !model.rohiEnabled);
  CloseHandle(other);
}

TEST(Refresh, NoControllerDeviceLeavesTheTargetAsItWas) {
  sim::Machine machine;
  StorageManagement management;
  management.SetControllers();
  EXPECT_TRUE(management.GetControllers().GetControllersById().empty());
}

TEST(Refresh, ManyDrivesAreReadOneAtATime) {
  SimulatedMachine simulated("large");
  StorageManagement management;
  FullRefresh(management);
  std::size_t expected = 0;
  for (const auto& c : simulated.Model().controllers) expected += c.drives.size();
  EXPECT_EQ(management.GetDrives().size(), expected);
  // The 600-drive controller answered the whole-controller query with status 4.
  EXPECT_GE(simulated.recorder->Requests(fn::kGetDriveIdentifiers).size(), 1u);
  // NVMe drives read one at a time are numbered in the order they were collected.
  std::set<int> targets;
  for (auto& [id, drive] : management.GetDrives()) {
    if (drive->type == VESK_DRIVE_NVME) targets.insert(drive->scsiAddress.target);
  }
  EXPECT_EQ(targets.size(), 256u);  // the target is one byte
}

}  // namespace
}  // namespace Vesk
