// The operation table against the simulated RAID driver, which decodes requests on its own: a
// field at the wrong place or bit shows up as a command that changed the wrong thing or was
// refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/DeviceHandle.h"
#include "platform/win32.h"
#include "protocol/IoCommunication.h"
#include "simulator/Machine.h"
#include "simulator/RaidDriver.h"

namespace Vesk {
namespace {

class CommunicationWithDriver : public testing::Test {
 protected:
  void SetUp() override {
    driver = vesk::sim::RaidDriver::FromFile(std::string(VESK_TOPOLOGY_DIR) + "/demo.json");
    vesk::sim::AddControllerDevices(machine, driver);
    const auto topology = driver->Snapshot();
    const auto current =
        std::find_if(topology.controllers.begin(), topology.controllers.end(),
                     [](const auto& c) { return c.specMajor == 4 && !c.volumes.empty(); });
    ASSERT_NE(current, topology.controllers.end()) << "the demo machine has a 4.0 controller";
    controller = *current;
    const std::wstring path = L"\\\\?\\Global\\GlobalRoot" + controller.pdoName;
    HANDLE file = CreateFile2(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    handle =
        std::make_shared<VeskControllerHandle>(file, std::make_unique<Device>(std::wstring(path)));
    handle->controllerId = controller.id;
  }

  vesk::sim::Controller Now() {
    for (const auto& c : driver->Snapshot().controllers) {
      if (c.id == controller.id) return c;
    }
    ADD_FAILURE() << "controller gone";
    return {};
  }

  vesk::sim::Machine machine;
  std::shared_ptr<vesk::sim::RaidDriver> driver;
  vesk::sim::Controller controller;
  std::shared_ptr<VeskControllerHandle> handle;
  IoCommunication<SynchronousIoctl> table;
};

TEST_F(CommunicationWithDriver, QueriesAreUnderstood) {
  RequestPtr<GetExecutorInformationIoctl<SynchronousIoctl>> executor;
  table.GetExecutorInformation(handle.get(), executor);
  EXPECT_EQ(executor->Status(), 0u);
  EXPECT_EQ(executor->Request()->record.answer.specificationVersion.major, 4);

  RequestPtr<GetControllerIdentifiersIoctl<SynchronousIoctl>> ids;
  table.GetControllerIdentifiers(handle.get(), vesk_invalid_guid, VESK_SCOPE_NONE, 4130, ids);
  EXPECT_EQ(ids->Status(), 0u);
  ASSERT_GE(std::uint16_t{ids->Request()->record.count}, 1);
  vesk_guid listed;
  std::memcpy(&listed, ids->Buffer() + 34, sizeof listed);
  EXPECT_EQ(listed, controller.id) << "the device's own controller comes first";

  RequestPtr<GetControllerInfoIoctl<SynchronousIoctl>> info;
  table.GetControllerInfo(handle.get(), controller.id, VESK_SCOPE_CONTROLLER, 437, 3, info);
  EXPECT_EQ(info->Status(), 0u);
  vesk_guid first;
  std::memcpy(&first, info->Buffer() + 34, sizeof first);
  EXPECT_EQ(first, controller.id);
}

TEST_F(CommunicationWithDriver, CommandsChangeWhatTheyName) {
  RequestPtr<SetControllerReadPatrolPolicyIoctl<SynchronousIoctl>> readPatrol;
  table.SetControllerReadPatrolPolicy(handle.get(), !controller.readPatrolEnabled, readPatrol);
  EXPECT_EQ(readPatrol->Status(), 0u);
  EXPECT_EQ(Now().readPatrolEnabled, !controller.readPatrolEnabled);

  RequestPtr<SetControllerRateIoctl<SynchronousIoctl>> rate;
  table.SetControllerRate(handle.get(), 40, rate);
  EXPECT_EQ(rate->Status(), 0u);
  EXPECT_EQ(Now().rate, 40u);

  const vesk_guid volume = controller.volumes.front().id;
  RequestPtr<RenameVolumeIoctl<SynchronousIoctl>> rename;
  table.RenameVolume(handle.get(), volume, "Renamed", rename);
  EXPECT_EQ(rename->Status(), 0u);
  EXPECT_EQ(Now().FindVolume(volume)->name, "Renamed");
}

TEST_F(CommunicationWithDriver, CreatedVolumeHasTheParametersSent) {
  // Two unused disks on the controller.
  std::vector<vesk_guid> free(2);
  for (std::size_t i = 0; i < free.size(); ++i) {
    std::memset(&free[i], 0xE0 + int(i), sizeof free[i]);
  }
  driver->Edit([&](vesk::sim::Topology& topology) {
    for (auto& c : topology.controllers) {
      if (c.id != controller.id) continue;
      for (const auto& id : free) {
        vesk::sim::Drive drive;
        drive.id = id;
        drive.blocks = 1ull << 26;  // 32 GiB of 512-byte blocks
        c.drives.push_back(drive);
      }
    }
  });
  vesk_new_volume_parameters parameters{};
  std::memcpy(parameters.name, "Interop", 7);
  parameters.raidLevel = VESK_RAID_0;
  parameters.size = 1ull << 30;
  parameters.SetInitialize(true);
  RequestPtr<CreateVolumeIoctl<SynchronousIoctl>> request;
  table.CreateVolume(handle.get(), parameters, free, request);
  ASSERT_EQ(request->Status(), 0u);

  vesk_guid created;
  std::memcpy(&created, request->Buffer() + 32, sizeof created);
  auto now = Now();
  const auto* volume = now.FindVolume(created);
  ASSERT_NE(volume, nullptr) << "the answer names the new volume";
  EXPECT_EQ(volume->name, "Interop");
  EXPECT_EQ(volume->raidLevel, VESK_RAID_0);
  ASSERT_NE(now.ArrayOfDrive(free[0]), nullptr);
  EXPECT_EQ(now.ArrayOfDrive(free[0]), now.ArrayOfDrive(free[1]));
}

TEST_F(CommunicationWithDriver, UnknownTargetComesBackAsStatus) {
  RequestPtr<DeleteVolumeIoctl<SynchronousIoctl>> request;
  table.DeleteVolume(handle.get(), vesk_invalid_guid, request);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->Status(), 262u);
}

TEST_F(CommunicationWithDriver, OutOfBandDataComesBack) {
  OOB::SendDataIoctlPayload data{};
  for (int i = 0; i < 64; ++i) data.data[i] = std::uint8_t(0xC0 + i);
  data.value = 0x01020304;
  RequestPtr<OOB::SendDataIoctl<SynchronousIoctl>> sent;
  table.SendData(handle.get(), data, sent);
  RequestPtr<OOB::ReceiveDataIoctl<SynchronousIoctl>> received;
  table.ReceiveData(handle.get(), received);
  EXPECT_EQ(std::memcmp(received->Buffer() + 28, &data, sizeof data), 0);
}

}  // namespace
}  // namespace Vesk
