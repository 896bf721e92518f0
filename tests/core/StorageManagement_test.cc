// The facade's own behaviour: construction without a driver, the version mappings, and the
// plug-and-play hook with its tracing and its lifetime (the listener's own waiting is the device
// tests' business).
#include "vesk/StorageManagement.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <string>

#include "core/Implementation.h"
#include "diagnostics/Logger.h"
#include "simulator/Machine.h"
#include "tests/Watchdog.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/e2e/Harness.h"

namespace Vesk {
namespace {

using vesk::sim::Machine;

std::uint32_t Version(std::uint16_t major, std::uint16_t minor) {
  return major | (std::uint32_t{minor} << 16);
}

TEST(VersionMapping, RecordAndRequestIndexesDifferOnlyFor30) {
  const std::uint32_t record[] = {0, 1, 2, 3}, request[] = {0, 1, 1, 3};
  for (std::uint16_t major = 1; major <= 4; ++major) {
    EXPECT_EQ(RecordApiVersion(Version(major, 0)), record[major - 1]) << major;
    EXPECT_EQ(RequestApiVersion(Version(major, 0)), request[major - 1]) << major;
  }
}

TEST(VersionMapping, UnsupportedVersionsNameThemselves) {
  for (auto [version, text] : {std::pair{Version(2, 1), "2.1!"}, std::pair{Version(5, 0), "5.0!"},
                               std::pair{Version(0, 0), "0.0!"}}) {
    for (auto map : {&RecordApiVersion, &RequestApiVersion}) {
      EXPECT_THAT([&] { map(version); },
                  ::testing::ThrowsMessage<std::runtime_error>(
                      std::string("Unsupported VESK specification version: ") + text));
    }
  }
}

class FacadeTest : public ::testing::Test {
 protected:
  static void Hook() { ++hookCalls; }
  void SetUp() override { hookCalls = 0; }

  // A controller device whose backend counts the calls it gets.
  vesk::sim::DeviceId Plug(std::shared_ptr<test::ScriptedBackend> backend = nullptr) {
    if (!backend) backend = std::make_shared<test::ScriptedBackend>();
    return test::AddController(machine, test::UniquePdoName(), std::move(backend));
  }

  Machine machine;
  static inline std::atomic<int> hookCalls{0};
};

TEST_F(FacadeTest, ConstructionSendsNothingAndOpensNothing) {
  auto backend = std::make_shared<test::ScriptedBackend>();
  const auto id = Plug(backend);
  {
    StorageManagement management;
    EXPECT_EQ(machine.OpenHandleCount(id), 0u);
  }
  EXPECT_EQ(backend->calls, 0);
}

TEST_F(FacadeTest, HookIsCalledOncePerArrivalAndRemovalAndEachIsTraced) {
  auto trace = machine.StartTrace(Logger::providerId, 5);
  StorageManagement management;
  const auto id = Plug();
  machine.WaitForNotifications();
  management.GetImplementation().pnpListener.WaitForWorkers();
  EXPECT_EQ(hookCalls, 0);  // no hook yet: the arrival is only traced

  management.SetPnpCallback(&FacadeTest::Hook);
  machine.NotifyInterface(id, CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
  machine.RemoveDevice(id);
  machine.WaitForNotifications();
  management.GetImplementation().pnpListener.WaitForWorkers();
  EXPECT_EQ(hookCalls, 2);

  std::multiset<std::string> traced;  // the device layer's own lines among them
  for (const auto& event : trace->Events()) traced.insert(event.fields.at(0).value);
  EXPECT_EQ(traced.count("New controller detected."), 2u);
  EXPECT_EQ(traced.count("Controller removed."), 1u);

  management.SetPnpCallback(nullptr);
  Plug();
  machine.WaitForNotifications();
  management.GetImplementation().pnpListener.WaitForWorkers();
  EXPECT_EQ(hookCalls, 2);
}

TEST_F(FacadeTest, FailedRegistrationLeavesAUsableSilentObject) {
  machine.FailCalls(vesk::sim::Api::CM_Register_Notification, CR_FAILURE);
  StorageManagement management;
  management.SetPnpCallback(&FacadeTest::Hook);
  Plug();
  machine.WaitForNotifications();
  EXPECT_EQ(hookCalls, 0);
  EXPECT_EQ(management.GetImplementation().pnpListener.notification, nullptr);
}

// A client's hook may destroy its own facade: when a refreshed facade's controller goes away, the
// destruction on the hook's worker neither waits for that worker nor leaves it anything freed.
TEST(FacadeLifetime, HookMayDestroyItsOwnFacade) {
  test::Watchdog watchdog("a hook destroying its facade");
  static std::unique_ptr<StorageManagement> facade;
  static test::ThreadEnd* hookEnd;
  test::ThreadEnd end;
  hookEnd = &end;
  testing::SimulatedMachine simulated("demo");
  facade = std::make_unique<StorageManagement>();
  testing::FullRefresh(*facade);
  ASSERT_FALSE(facade->GetControllers().GetControllersById().empty());
  facade->SetPnpCallback([] {
    hookEnd->Arm();
    facade.reset();
  });

  simulated.machine.RemoveDevice(simulated.devices[0]);
  end.Wait();

  EXPECT_EQ(facade, nullptr);
  simulated.machine.WaitForNotifications();
}

}  // namespace
}  // namespace Vesk
