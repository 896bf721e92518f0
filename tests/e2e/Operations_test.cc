// Every management operation against the simulated RAID driver: it changes the driver's model, and
// a driver status becomes the operation's own message.
#include <gtest/gtest.h>

#include <optional>

#include "tests/e2e/Harness.h"

namespace Vesk {
namespace {

using testing::ExpectThrows;
using testing::FullRefresh;
using testing::Guid;
using testing::OperationCase;
using testing::SimulatedMachine;
namespace sim = vesk::sim;
namespace fn = vesk::sim::function;
using namespace testing::demo;

class OperationTest : public ::testing::TestWithParam<OperationCase> {};

TEST_P(OperationTest, ChangesTheModelAndFailsWithItsOwnMessage) {
  const OperationCase& c = GetParam();
  SimulatedMachine simulated("demo");
  StorageManagement management;
  FullRefresh(management);
  if (c.prepare) {
    c.prepare(simulated, management);
    FullRefresh(management);
  }
  const std::string before = simulated.driver->Save();
  const std::size_t sent = simulated.driver->RequestCount(c.functionCode);
  // A status the driver would not give for these arguments, so that the fault is what answers.
  simulated.driver->InjectFault({sim::Fault::Kind::Status, c.functionCode, 0xFFFF});
  ExpectThrows<VeskException>([&] { c.run(management); },
                              c.message + std::string(" IOCTL completed with error."), 0xFFFF);
  EXPECT_EQ(simulated.driver->RequestCount(c.functionCode) - sent, 1u) << "sent once";
  EXPECT_EQ(simulated.driver->Save(), before) << "a refused request changed the model";

  c.run(management);
  EXPECT_NE(simulated.driver->Save(), before) << "the operation changed nothing";
}

INSTANTIATE_TEST_SUITE_P(Every, OperationTest, ::testing::ValuesIn(testing::EveryOperation()),
                         [](const auto& info) { return std::string(info.param.name); });

// The create request carries the caller's flag bits unchanged in every protocol version, and the
// volume comes out as they say: initializing when asked (through a request of its own on 1.0, in
// the create request from 2.0 on), left as it is otherwise, the data of the kept drive kept.
class CreateFlagsTest : public ::testing::TestWithParam<int> {};

TEST_P(CreateFlagsTest, FlagBitsGoOutUnchangedAndTakeEffect) {
  const int specMajor = GetParam();
  struct Case {
    const char* what;
    bool initialize, keep;
    std::uint8_t wire;
  };
  for (const Case& c : {Case{"initialize", true, false, 0x04}, Case{"none", false, false, 0x00},
                        Case{"keep data", false, true, 0x08}}) {
    SCOPED_TRACE(c.what);
    SimulatedMachine simulated("demo", specMajor);
    StorageManagement management;
    FullRefresh(management);
    vesk_new_volume_parameters parameters = Mirror(c.initialize);
    parameters.SetKeepExistingData(c.keep);
    parameters.keepExistingDriveId = c.keep ? kNvmeFree2 : vesk_invalid_guid;
    simulated.recorder->Clear();
    auto [status, id] = management.CreateVolume(testing::Record(management, kDorn), parameters,
                                                {kNvmeFree1, kNvmeFree2});
    ASSERT_EQ(status, 0u);

    const auto sent = simulated.recorder->Requests();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].functionCode, fn::kCreateVolume);
    EXPECT_EQ(sent[0].bytes.at(34 + 27), c.wire);
    const bool followUp = c.initialize && specMajor == 1;
    ASSERT_EQ(sent.size(), followUp ? 2u : 1u);
    if (followUp) {
      EXPECT_EQ(sent[1].functionCode, fn::kInitializeVolume);
    }

    sim::Topology model = simulated.Model();
    const sim::Volume* volume = model.FindController(kDorn)->FindVolume(id);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->state == sim::volume_state::kInitializing, c.initialize);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryVersion, CreateFlagsTest, ::testing::Values(1, 2, 3, 4),
                         [](const auto& info) { return "Version" + std::to_string(info.param); });

// A 1.0 driver knows only "light the LED", and creates volumes uninitialized: an initialize asked
// for goes out as a request of its own, whose failure does not undo the creation.
class LegacyOperationsTest : public ::testing::Test {
 protected:
  LegacyOperationsTest() { FullRefresh(management); }
  const Controller& Dorn() { return testing::Record(management, kLegacyDorn); }
  std::pair<vesk_status, vesk_guid> Create(bool initialize) {
    simulated.recorder->Clear();
    return management.CreateVolume(Dorn(), Mirror(initialize), {kLegacyNvme0, kLegacyNvme1});
  }
  std::optional<sim::Volume> ModelVolume(const vesk_guid& id) {
    sim::Topology model = simulated.Model();
    const sim::Volume* volume = model.FindController(kLegacyDorn)->FindVolume(id);
    return volume ? std::optional(*volume) : std::nullopt;
  }

  const vesk_guid kLegacyDorn = Guid("c0d0e100-0000-4000-8000-0000000000a2");
  const vesk_guid kLegacyNvme0 = Guid("d0e10000-0000-4000-8000-000000000000");
  const vesk_guid kLegacyNvme1 = Guid("d0e10000-0000-4000-8000-000000000001");
  SimulatedMachine simulated{"legacy"};
  StorageManagement management;
};

TEST_F(LegacyOperationsTest, LedUsesTheLegacyRequestWhateverEnableSays) {
  const vesk_guid free = Guid("5a7a0000-0000-4000-8000-000000000003");
  EXPECT_EQ(management.ActivateDriveLed(testing::Record(management, kSata), free, false), 0u);
  EXPECT_EQ(simulated.recorder->Requests(fn::kActivateDriveLed).at(0).apiVersion, 0u);
  // Lit although enable said no; a 1.0 drive record has no LED bit, so the model is asked.
  EXPECT_TRUE(simulated.Model().controllers[0].FindDrive(free)->ledActive);
}

TEST_F(LegacyOperationsTest, CreateWithInitializeSendsCreateThenInitialize) {
  auto [plain, kept] = Create(false);
  EXPECT_EQ(plain, 0u);
  EXPECT_EQ(simulated.recorder->Requests().size(), 1u) << "no initialize asked for";
  ASSERT_EQ(management.DeleteVolume(Dorn().GetDeviceHandle().get(), kept), 0u);

  auto [status, id] = Create(true);
  EXPECT_EQ(status, 0u);
  const auto sent = simulated.recorder->Requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].functionCode, fn::kCreateVolume);
  EXPECT_EQ(sent[1].functionCode, fn::kInitializeVolume);
  EXPECT_EQ(std::memcmp(sent[1].bytes.data() + 32, &id, 16), 0);
  EXPECT_EQ(ModelVolume(id).value().state, sim::volume_state::kInitializing);
}

TEST_F(LegacyOperationsTest, RefusedOrFailedFollowUpInitializeKeepsTheCreatedVolume) {
  simulated.driver->InjectFault({sim::Fault::Kind::Status, fn::kInitializeVolume, 15});
  auto [status, id] = Create(true);
  EXPECT_EQ(status, 0u);
  EXPECT_FALSE(ModelVolume(id).value().initialized);

  ASSERT_EQ(management.DeleteVolume(Dorn().GetDeviceHandle().get(), id), 0u);
  simulated.driver->InjectFault({sim::Fault::Kind::DeviceFailure, fn::kInitializeVolume, 0});
  auto [again, second] = Create(true);
  EXPECT_EQ(again, 0u);
  EXPECT_TRUE(ModelVolume(second).has_value());
}

}  // namespace
}  // namespace Vesk
