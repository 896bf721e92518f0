// Several facades in one process discovering at once on one simulated machine: each from a
// thread of its own, and each from its hook on the same arrival. Every discovery must find every
// controller behind its own device, however the discoveries interleave.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "e2e/Harness.h"
#include "tests/Watchdog.h"
#include "vesk/StorageManagement.h"

namespace Vesk {
namespace {

using Expected = std::map<vesk_guid, std::wstring>;  // controller -> path of its device

// Adds a controller of the queued service (a copy of the demo's zrTalu controller, without
// drives) to the driver; returns the description of its device, not plugged in yet.
vesk::sim::DeviceSpec AddQueuedController(testing::SimulatedMachine& sim, std::uint32_t n) {
  vesk::sim::Controller copy;
  sim.driver->Edit([&](vesk::sim::Topology& model) {
    copy = model.controllers.at(1);
    copy.id.group1 += n;
    copy.deviceId = static_cast<std::uint16_t>(copy.deviceId + n);
    copy.pdoName = L"\\Device\\RaidPort" + std::to_wstring(1 + n);
    copy.arrays.clear();
    copy.volumes.clear();
    copy.drives.clear();
    model.controllers.push_back(copy);
  });
  vesk::sim::DeviceSpec description;
  description.manufacturer = L"Korva Corporation";
  description.service = copy.service;
  description.pdoName = copy.pdoName;
  description.backend = sim.recorder;
  return description;
}

void Plug(testing::SimulatedMachine& sim, vesk::sim::DeviceSpec description) {
  sim.devices.push_back(sim.machine.AddDevice(std::move(description)));
}

Expected ExpectedControllers(const testing::SimulatedMachine& sim) {
  Expected expected;
  for (const auto& controller : sim.Model().controllers) {
    expected[controller.id] = ControllerDeviceBuilder::DevicePath(controller.pdoName);
  }
  return expected;
}

// One full controller refresh into a snapshot of its own, checked against `expected`.
void RefreshAndCheck(StorageManagement& management, const Expected& expected) {
  Controllers found;
  try {
    management.SetControllers(found);
  } catch (const TaluException& e) {
    ADD_FAILURE() << "refresh failed: " << e.Message() << " (" << e.ErrorCode() << ")";
  }
  Expected seen;
  for (const auto& [id, controller] : found.GetControllersById()) {
    seen[id] = controller->GetDeviceHandle()->device->path;
  }
  EXPECT_EQ(seen, expected);
  ClearMap(found.GetControllersById());
}

TEST(ConcurrentDiscovery, FacadesOnThreadsOfTheirOwnEachFindEveryController) {
  test::Watchdog watchdog("four facades refreshing at once", 30);
  testing::SimulatedMachine sim("demo");
  for (std::uint32_t n = 1; n <= 3; ++n) Plug(sim, AddQueuedController(sim, n));
  sim.machine.WaitForNotifications();
  const Expected expected = ExpectedControllers(sim);

  std::vector<std::thread> threads;
  for (int facade = 0; facade < 4; ++facade) {
    threads.emplace_back([&] {
      StorageManagement management;
      for (int round = 0; round < 5; ++round) RefreshAndCheck(management, expected);
    });
  }
  for (auto& thread : threads) thread.join();
}

// Hooks are plain function pointers: each finds its facade through this table.
constexpr int kHookedFacades = 3;
StorageManagement* hookedFacades[kHookedFacades];
const Expected* hookExpected = nullptr;
std::mutex hookLock;
std::condition_variable hookDone;
int hookRuns = 0;

template <int N>
void RefreshFromHook() {
  RefreshAndCheck(*hookedFacades[N], *hookExpected);
  std::lock_guard lock(hookLock);
  ++hookRuns;
  hookDone.notify_all();
}

TEST(ConcurrentDiscovery, FacadesRefreshingFromTheirHooksOnOneArrivalEachFindEveryController) {
  testing::SimulatedMachine sim("demo");
  Expected expected;
  hookExpected = &expected;
  StorageManagement facades[kHookedFacades];
  const StorageManagement::PnpCallback hooks[] = {RefreshFromHook<0>, RefreshFromHook<1>,
                                                  RefreshFromHook<2>};
  for (int i = 0; i < kHookedFacades; ++i) {
    hookedFacades[i] = &facades[i];
    facades[i].SetPnpCallback(hooks[i]);
  }
  for (std::uint32_t arrival = 1; arrival <= 5; ++arrival) {
    // The new controller is in the model before its device arrives.
    vesk::sim::DeviceSpec device = AddQueuedController(sim, arrival);
    expected = ExpectedControllers(sim);
    std::unique_lock lock(hookLock);
    hookRuns = 0;
    Plug(sim, std::move(device));
    ASSERT_TRUE(hookDone.wait_for(lock, std::chrono::seconds(30),
                                  [] { return hookRuns == kHookedFacades; }))
        << "arrival " << arrival << ": " << hookRuns << " of " << kHookedFacades
        << " hooks finished";
  }
}

}  // namespace
}  // namespace Vesk
