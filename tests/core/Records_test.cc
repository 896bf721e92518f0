#include "vesk/Records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "core/RecordBuilders.h"
#include "e2e/Harness.h"
#include "vesk/StorageManagement.h"

namespace Vesk {
namespace {

vesk_guid Id(std::uint32_t n) {
  vesk_guid id = vesk_invalid_guid;
  id.group1 = n;
  return id;
}

std::unique_ptr<Controller> NewController(std::uint32_t id, std::uint16_t deviceId,
                                          const char* name = "") {
  ControllerInformation entry;
  std::memset(&entry, 0, sizeof entry);
  entry.id = Id(id);
  entry.deviceId = deviceId;
  std::strncpy(entry.name, name, sizeof entry.name - 1);
  entry.maxVolumesPerArray = 2;
  return BuildController(entry, nullptr);
}

RaidLevelDescriptor Level(vesk_raid_level level, std::uint16_t maxDrives) {
  RaidLevelDescriptor descriptor;
  std::memset(static_cast<RaidLevelDescriptorHeader*>(&descriptor), 0,
              sizeof(RaidLevelDescriptorHeader));
  descriptor.level = level;
  descriptor.maxDrivesCount = maxDrives;
  return descriptor;
}

class ControllersTest : public ::testing::Test {
 protected:
  ~ControllersTest() override { ClearMap(controllers.GetControllersById()); }
  Controllers controllers;
};

// A controller found again may sit on a new device under another driver (an update reloads the
// device): the record stays, and everything it says of the driver is the fresh record's. Slots
// whose migrations do not grow in number keep their storage, which managed objects read through.
TEST_F(ControllersTest, KnownIdentifierKeepsRecordButTakesFreshInformationAndDriver) {
  auto first = NewController(1, 0x10, "old name");
  RaidLevelDescriptor raid1 = Level(VESK_RAID_1, 2);
  raid1.migrationDescriptors = {{VESK_RAID_0, 0}, {VESK_RAID_5, 1}};
  const RaidLevelDescriptor levels[] = {raid1, Level(VESK_RAID_0, 4)};
  SetRaidLevelDescriptors(*first, levels);
  first->apiVersion = 0;
  first->executorInformation[0] = 1;
  Controller* kept = first.get();
  const vesk_migration_descriptor* migrations =
      kept->raidLevelDescriptors[0].migrationDescriptors.data();
  controllers.AddController(std::move(first));

  auto again = NewController(1, 0x10, "new name");
  again->maxVolumesPerController = 7;
  RaidLevelDescriptor raid5 = Level(VESK_RAID_5, 8);
  raid5.minDrivesCount = 3;
  raid5.migrationDescriptors = {{VESK_RAID_5, 1}};
  const RaidLevelDescriptor fresh[] = {raid5};
  SetRaidLevelDescriptors(*again, fresh);
  again->apiVersion = 1;
  again->executorInformation[0] = 2;
  again->executorInformation[39] = 9;
  controllers.AddController(std::move(again));

  EXPECT_EQ(controllers.GetControllersById().at(Id(1)), kept);
  EXPECT_STREQ(kept->name, "new name");
  EXPECT_EQ(+kept->maxVolumesPerController, 7);
  EXPECT_EQ(kept->apiVersion, 1u);
  EXPECT_EQ(+kept->executorInformation[0], 2);
  EXPECT_EQ(+kept->executorInformation[39], 9);
  EXPECT_EQ(+kept->maxDrivesPerArray, 8);
  const RaidLevelDescriptor& slot = kept->raidLevelDescriptors[0];
  EXPECT_EQ(+slot.level, VESK_RAID_5);
  EXPECT_EQ(+slot.minDrivesCount, 3);
  EXPECT_EQ(slot.migrationDescriptors, raid5.migrationDescriptors);
  EXPECT_EQ(slot.migrationDescriptors.data(), migrations);
  EXPECT_EQ(+kept->raidLevelDescriptors[1].level, VESK_RAID_NONE);
  EXPECT_TRUE(kept->raidLevelDescriptors[1].migrationDescriptors.empty());
}

TEST_F(ControllersTest, FirstControllerWithADeviceIdentifierKeepsThatIndexEntry) {
  controllers.AddController(NewController(2, 0x20));
  controllers.AddController(NewController(1, 0x20));
  ASSERT_EQ(controllers.GetControllersByDeviceId().size(), 1u);
  EXPECT_TRUE(controllers.GetControllersByDeviceId().at(0x20)->id == Id(2));
}

// A known controller whose device identifier was never indexed (the index was emptied, or the
// identifier changed) must be indexed by the record that lives on, never by the one destroyed.
TEST_F(ControllersTest, KnownIdentifierWithUnindexedDeviceIdentifierIndexesTheKeptRecord) {
  controllers.AddController(NewController(1, 0x10));
  Controller* kept = controllers.GetControllersById().at(Id(1));
  controllers.GetControllersByDeviceId().clear();

  controllers.AddController(NewController(1, 0x30));

  ASSERT_EQ(controllers.GetControllersByDeviceId().count(0x30), 1u);
  EXPECT_EQ(controllers.GetControllersByDeviceId().at(0x30), kept);
  EXPECT_EQ(+kept->deviceId, 0x30);
}

TEST_F(ControllersTest, ClearEmptiesIndexesButKeepsRecords) {
  auto record = NewController(1, 0x10);
  Controller* raw = record.get();
  controllers.AddController(std::move(record));
  ControllerMap owned = controllers.GetControllersById();
  controllers.clear();
  EXPECT_TRUE(controllers.GetControllersById().empty());
  EXPECT_TRUE(controllers.GetControllersByDeviceId().empty());
  EXPECT_EQ(owned.at(Id(1)), raw);  // still alive: clear does not delete
  ClearMap(owned);
}

// Every full refresh opens each controller device anew. The record that stays takes the device it
// was found on this time and lets the earlier one go, so that nothing piles up however often the
// snapshot is refreshed.
TEST_F(ControllersTest, RefreshesKeepOneOpenHandlePerDevice) {
  testing::SimulatedMachine simulated("demo");
  StorageManagement management;
  management.SetControllers();
  const Controller* record = management.GetControllers().GetControllersById().begin()->second;
  const std::weak_ptr<DeviceHandle> first = record->GetDeviceHandle();
  for (int refresh = 0; refresh < 100; ++refresh) management.SetControllers();
  for (auto device : simulated.devices) EXPECT_EQ(simulated.machine.OpenHandleCount(device), 1u);
  EXPECT_EQ(management.GetControllers().GetControllersById().begin()->second, record);
  EXPECT_TRUE(first.expired());
}

TEST(ClearMapTest, DeletesEveryRecordOfEveryMapAndEmptiesThem) {
  ArrayMap arrays{{Id(1), new Array{}}};
  VolumeMap volumes{{Id(2), new Volume{}}, {Id(3), new Volume{}}};
  DriveMap drives{{Id(4), new Drive{}}};
  ClearMap(arrays, volumes, drives);  // the leak checker sees anything left behind
  EXPECT_TRUE(arrays.empty());
  EXPECT_TRUE(volumes.empty());
  EXPECT_TRUE(drives.empty());
}

// Five levels, as many as a record holds; none afterwards leave every slot empty.
TEST(RaidLevelDescriptors, MaxDrivesPerArrayIsTheLargestOfAllLevelsAndNoneLeaveEverySlotEmpty) {
  auto controller = NewController(1, 1);
  const RaidLevelDescriptor levels[] = {Level(VESK_RAID_0, 6), Level(VESK_RAID_5, 8),
                                        Level(VESK_RAID_1, 2), Level(VESK_RAID_10, 4),
                                        Level(VESK_RAID_5, 3)};
  SetRaidLevelDescriptors(*controller, levels);
  EXPECT_EQ(+controller->maxDrivesPerArray, 8);
  EXPECT_EQ(+controller->raidLevelDescriptors[4].maxDrivesCount, 3);
  SetRaidLevelDescriptors(*controller, {});
  for (const auto& slot : controller->raidLevelDescriptors) {
    EXPECT_EQ(+slot.level, VESK_RAID_NONE);
    EXPECT_TRUE(slot.migrationDescriptors.empty());
  }
  EXPECT_EQ(+controller->maxDrivesPerArray, 0);
}

TEST(ControllerRecord, StartsZeroFilledWithApiVersion3) {
  alignas(Controller) unsigned char storage[sizeof(Controller)];
  std::memset(storage, 0xA5, sizeof storage);
  auto* controller = new (storage) Controller;
  const auto* information = reinterpret_cast<const unsigned char*>(&controller->Information());
  EXPECT_TRUE(std::all_of(information, information + sizeof(ControllerInformation),
                          [](unsigned char byte) { return byte == 0; }));
  EXPECT_EQ(+controller->raidLevelDescriptors[4].maxDrivesCount, 0);
  EXPECT_EQ(controller->apiVersion, 3u);
  controller->~Controller();
}

DriveInformation DriveEntry(vesk_drive_type type, std::uint8_t port) {
  DriveInformation entry;
  std::memset(&entry, 0, sizeof entry);
  entry.id = Id(9);
  entry.type = type;
  entry.connection[0] = port;
  return entry;
}

// Every record names its controller; a drive's SCSI address depends on its type, and its total
// size is computed in 64 bits.
TEST(RecordBuilders, NameTheControllerAndGiveDrivesTheirAddressAndSize) {
  DriveInformation entry = DriveEntry(VESK_DRIVE_SATA_DISK, 5);
  entry.size = 1000000;
  entry.logicalBlockSize = 4096;
  auto sata = BuildDrive(entry, Id(1), 2, 3);
  EXPECT_TRUE(sata->scsiAddress == (Scsi{2, 5, 0, 0}));
  EXPECT_EQ(+sata->totalSize, 4096000000ull);
  auto nvme = BuildDrive(DriveEntry(VESK_DRIVE_NVME, 5), Id(1), 2, 3);
  EXPECT_TRUE(nvme->scsiAddress == (Scsi{2, 0, 3, 0}));
  EXPECT_TRUE(nvme->controllerId == Id(1));
  EXPECT_TRUE(BuildArray(ArrayInformation{}, Id(2))->controllerId == Id(2));
  EXPECT_TRUE(BuildVolume(VolumeInformation{}, Id(3))->controllerId == Id(3));
}

}  // namespace
}  // namespace Vesk
