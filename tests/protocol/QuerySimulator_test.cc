// The readers against the simulated driver's own encoding of each version's records
// (simulator/DriverRecords.h shares no code with protocol/): what the driver model holds must
// come back out of the widened records, field by field.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/QueryReaders.h"
#include "simulator/DriverRecords.h"
#include "simulator/Topology.h"

namespace Vesk {
namespace {

namespace sim = vesk::sim;

sim::Controller Model(std::uint32_t api) {
  sim::Controller c;
  c.id = {0x11223344, 1, 2, 3, {4, 5, 6, 7, 8, 9}};
  c.name = "Simulated SATA";
  c.specMajor = static_cast<std::uint8_t>(api + 1);
  c.vendorId = 0x8086;
  c.deviceId = 0x2822;
  c.osDriverVersion = {17, 2, 300, 1};
  c.maxVolumesPerArray = 4;
  c.maxVolumesPerController = 6;
  c.maxDrivesPerController = 24;
  c.readPatrolEnabled = true;
  c.mode = 5;
  c.raidLevels = {{1, 2, 8, true, true, 0x40, 0xFFC0, {{1, 1}, {4, 1}}},
                  {2, 2, 2, false, true, 0x40, 0x0040, {{1, 0}, {4, 1}}},
                  {3, 4, 4, false, true, 0x40, 0x0040, {{4, 0}}}};
  sim::Drive sata;
  sata.id = {1, 0, 0, 0, {0, 0, 0, 0, 0, 1}};
  sata.serialNumber = "SATA-1";
  sata.blocks = 1000000;
  sata.logicalBlockSize = 4096;
  sata.portNumber = 5;
  sata.sataLinkRate = 3;
  sata.isSsd = true;
  sata.containsPartition = true;
  sata.systemDrive = true;
  sim::Drive nvme;
  nvme.id = {2, 0, 0, 0, {0, 0, 0, 0, 0, 2}};
  nvme.type = 3;
  nvme.serialNumber = "NVME-2";
  nvme.pciVendorId = 0x144D;
  nvme.dualControllerNvme = true;
  nvme.socketNumber = 1;
  nvme.dornControllerNumber = 2;
  nvme.rootPortOffset = 3;
  nvme.physicalSlotNumber = 77;
  nvme.pciLinkRate = 4;
  nvme.pciLinkWidth = 8;
  c.drives = {sata, nvme};
  return c;
}

TEST(SimulatedDriver, ControllerInformationOfEveryVersion) {
  for (std::uint32_t api = 0; api < 4; ++api) {
    const sim::Controller c = Model(api);
    std::vector<std::uint8_t> answer(kListEntriesOffset + kControllerInfoSize[api], 0);
    answer[32] = 1;
    sim::wire::WriteController(answer.data() + kListEntriesOffset, c, api);
    const auto info = ReadSingleControllerInfo(answer.data(), answer.size(), api);
    EXPECT_TRUE(info.id == c.id) << api;
    EXPECT_STREQ(info.name, "Simulated SATA");
    EXPECT_EQ(+info.vendorId, 0x8086);
    EXPECT_EQ(+info.osDriverVersion.build, 300);
    EXPECT_EQ(+info.maxVolumesPerController, 6);
    EXPECT_EQ(+info.maxDrivesPerController, 24);
    EXPECT_TRUE(info.PreosDriverLoaded());
    EXPECT_TRUE(info.ReadPatrolEnabled());
    EXPECT_FALSE(info.RohiEnabled());
    EXPECT_EQ(info.Mode(), 5);
  }
}

TEST(SimulatedDriver, CapabilitiesCurrentAndLegacy) {
  const sim::Controller c = Model(3);
  for (bool legacy : {false, true}) {
    std::vector<std::uint8_t> answer(legacy ? kLegacyCapabilitiesLength : kCapabilitiesLength, 0);
    const auto payload = sim::wire::CapabilitiesAnswer(c, legacy);
    ASSERT_LE(kAnswerOffset + payload.size(), answer.size());
    std::copy(payload.begin(), payload.end(), answer.begin() + kAnswerOffset);
    const auto caps = legacy ? ReadControllerCapabilitiesLegacy(answer.data(), answer.size())
                             : ReadControllerCapabilities(answer.data(), answer.size());
    ASSERT_EQ(caps.raidLevels.size(), 3u);
    EXPECT_EQ(caps.maxDrivesPerArray, 8);
    for (std::size_t i = 0; i < 3; ++i) {
      const auto& level = caps.raidLevels[i];
      const auto& model = c.raidLevels[i];
      EXPECT_EQ(level.descriptor.level, model.level);
      EXPECT_EQ(+level.descriptor.minDrivesCount, model.minDrives);
      EXPECT_EQ(level.descriptor.OddDriveCount(), model.oddCount);
      EXPECT_EQ(level.descriptor.EvenDriveCount(), model.evenCount);
      EXPECT_EQ(+level.descriptor.supportedStripSizes, model.stripSizeMask & 0x7FFF);
      ASSERT_EQ(level.migrations.size(), model.migrations.size());
      for (std::size_t m = 0; m < model.migrations.size(); ++m) {
        EXPECT_EQ(level.migrations[m].targetRaidLevel, model.migrations[m].targetLevel);
        EXPECT_EQ(level.migrations[m].minAdditionalDriveCount,
                  model.migrations[m].minAdditionalDrives);
      }
    }
  }
}

TEST(SimulatedDriver, DrivesOfEveryVersionWidenToTheModel) {
  for (std::uint32_t api = 0; api < 4; ++api) {
    const sim::Controller c = Model(api);
    const std::size_t size = kDriveInfoSize[api];
    std::vector<std::uint8_t> answer(kDriveListLength, 0);
    answer[32] = 2;
    for (std::size_t i = 0; i < 2; ++i) {
      sim::wire::WriteDrive(answer.data() + kListEntriesOffset + i * size, c, c.drives[i], api);
    }
    const auto drives = ReadDriveList(answer.data(), answer.size(), api);
    ASSERT_EQ(drives.size(), 2u);
    const auto& sata = drives[0];
    EXPECT_TRUE(sata.id == c.drives[0].id) << api;
    EXPECT_EQ(std::string(sata.serialNumber), "SATA-1");
    EXPECT_EQ(sata.size * sata.logicalBlockSize, 4096000000ull);
    EXPECT_EQ(sata.type, VESK_DRIVE_SATA_DISK);
    EXPECT_EQ(sata.sata.portNumber, 5);
    EXPECT_EQ(sata.sata.NegotiatedLinkRate(), 3);
    EXPECT_TRUE(sata.sata.IsSsd());
    EXPECT_EQ(sata.ContainsPartition(), api > 0);  // 1.0 has no partition bit
    EXPECT_TRUE(sata.SystemDrive());

    const auto& nvme = drives[1];
    EXPECT_EQ(nvme.type, VESK_DRIVE_NVME) << api;
    EXPECT_EQ(+nvme.nvme.vendorId, 0x144D);
    EXPECT_TRUE(nvme.nvme.DualControllerNvme());
    EXPECT_EQ(nvme.nvme.negotiatedLinkRate, 4);
    EXPECT_EQ(nvme.nvme.negotiatedLinkWidth, 8);
    // 1.0 describes NVMe drives without their placement.
    EXPECT_EQ(+nvme.nvme.socketNumber, api == 0 ? 0 : 1);
    EXPECT_EQ(+nvme.nvme.rootPortOffset, api == 0 ? 0 : 3);
    EXPECT_EQ(+nvme.nvme.physicalSlotNumber, api == 0 ? 0u : 77u);
  }
}

}  // namespace
}  // namespace Vesk
