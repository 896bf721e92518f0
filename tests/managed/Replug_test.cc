// Controller devices that go and come back while the managed facade holds their controllers.
// The facade here hears no notification of its own: each test runs the notification-driven
// refresh (HandlePnpEvent) at the moment it stands for, so that the orderings hot-plug produces
// only now and then happen every time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>

#include "ManagedTestSupport.h"
#include "simulator/Machine.h"
#include "simulator/RaidDriver.h"
#include "vesk_managed/StorageManagementBase.h"

namespace VESK_Managed {
namespace {

using namespace std::chrono_literals;
using testing::PollingRefresh;
using testing::Populate;
namespace sim = vesk::sim;
namespace fn = vesk::sim::function;

constexpr std::uint16_t kSataDeviceId = 10274;
const Guid kSataDrive(*sim::ParseGuid("5a7a0000-0000-4000-8000-000000000000"));

// Hands requests to the driver. The first request of function `held` waits inside the device call
// (the device locked and in use) until the test releases it, 5 s at most so that a failing test
// does not hang.
class GatedBackend : public sim::DeviceBackend {
 public:
  explicit GatedBackend(std::shared_ptr<sim::RaidDriver> driver) : driver(std::move(driver)) {}

  sim::IoResult Control(const sim::IoControl& call) override {
    std::uint32_t function = 0;
    if (call.inSize >= 20) std::memcpy(&function, call.in + 16, sizeof function);
    if (std::uint32_t expected = function;
        function != 0 && held.compare_exchange_strong(expected, 0)) {
      entered.set_value();
      timedOut = released.get_future().wait_for(5s) == std::future_status::timeout;
    }
    return driver->Control(call);
  }

  std::atomic<std::uint32_t> held{0};
  std::promise<void> entered;
  std::promise<void> released;
  std::atomic<bool> timedOut{false};

 private:
  std::shared_ptr<sim::RaidDriver> driver;
};

class ReplugTest : public ::testing::Test {
 protected:
  ReplugTest()
      : driver(sim::RaidDriver::FromFile(std::string(VESK_TOPOLOGY_DIR) + "/demo.json")),
        backend(std::make_shared<GatedBackend>(driver)) {
    for (const auto& controller : driver->Snapshot().controllers) {
      descriptions.push_back({.manufacturer = L"Korva Corporation",
                              .service = controller.service,
                              .pdoName = controller.pdoName,
                              .backend = backend});
      devices.push_back(machine.AddDevice(descriptions.back()));
    }
    machine.WaitForNotifications();
    // The facade's registration for arrivals and removals fails: it stays usable, and only the
    // test runs its refreshes.
    machine.FailCalls(sim::Api::CM_Register_Notification, CR_FAILURE);
    facade = std::make_unique<StorageManagementBase>();
    Populate(*facade);
  }

  // The SATA controller's device goes, and comes back as a new device.
  void Unplug() { machine.RemoveDevice(devices[0]); }
  void Plug() { devices[0] = machine.AddDevice(descriptions[0]); }

  const Vesk::Controller& SataRecord() {
    return *facade->GetInstance().GetControllers().GetControllersByDeviceId().at(kSataDeviceId);
  }

  sim::Machine machine;
  std::shared_ptr<sim::RaidDriver> driver;
  std::shared_ptr<GatedBackend> backend;
  std::vector<sim::DeviceSpec> descriptions;
  std::vector<sim::DeviceId> devices;
  std::unique_ptr<StorageManagementBase> facade;
};

// Both notifications of a quick unplug and replug can queue behind a user interface that holds
// the semaphore, so the removal's refresh runs when the device is back and finds the controller
// in both snapshots. From then on the controller must be reached through its new device.
TEST_F(ReplugTest, AControllerFoundAgainOnANewDeviceIsReachedThroughIt) {
  const auto sata = facade->Controllers()[kSataDeviceId];
  for (int replug = 1; replug <= 20; ++replug) {
    SCOPED_TRACE("replug " + std::to_string(replug));
    const bool rohi = replug % 2 == 1;
    Unplug();
    Plug();
    facade->HandlePnpEvent();  // the removal's, late
    facade->HandlePnpEvent();  // the arrival's
    ASSERT_EQ(facade->SetControllerRohiPolicy(*sata, rohi), vesk_status::Success);
    ASSERT_NO_THROW(PollingRefresh(*facade));
    EXPECT_EQ(sata->RohiEnabled(), rohi);
    // One handle on the new device, the record's: the refreshes kept none of theirs.
    EXPECT_EQ(machine.OpenHandleCount(devices[0]), 1u);
  }
  EXPECT_EQ(facade->Controllers()[kSataDeviceId], sata);
}

struct CallCase {
  const char* name;
  std::uint32_t function;
  const char* failure;
  std::function<vesk_status(StorageManagementBase&, const Controller&)> call;
};

void PrintTo(const CallCase& c, std::ostream* out) { *out << c.name; }

class CallInFlightTest : public ReplugTest, public ::testing::WithParamInterface<CallCase> {};

// A user interface may hold on to a controller object across a replug and start an operation on
// it; the call goes to the controller now present with that device identifier. The device goes
// while the request is in the driver, and a refresh drops the controller before the request
// returns: the call still owns its device and ends with the driver's failure.
TEST_P(CallInFlightTest, KeepsItsDeviceWhileARefreshDropsTheController) {
  const CallCase& c = GetParam();
  const auto kept = facade->Controllers()[kSataDeviceId];
  Unplug();
  facade->HandlePnpEvent();
  Plug();
  facade->HandlePnpEvent();
  std::weak_ptr<Vesk::DeviceHandle> device = SataRecord().GetDeviceHandle();

  driver->InjectFault({sim::Fault::Kind::DeviceFailure, c.function, ERROR_DEVICE_NOT_CONNECTED});
  backend->held = c.function;
  auto call = std::async(std::launch::async, [&] { return c.call(*facade, *kept); });
  ASSERT_EQ(backend->entered.get_future().wait_for(5s), std::future_status::ready)
      << "the request never reached the driver";
  Unplug();
  facade->HandlePnpEvent();
  EXPECT_FALSE(device.expired()) << "the device was released under the call";
  // A device released under the call is freed now, so that AddressSanitizer sees it read.
  device.reset();
  backend->released.set_value();
  testing::ExpectThrows<NativeTaluException>([&] { call.get(); }, c.failure,
                                             ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(backend->timedOut) << "the refresh waited for the call";
}

INSTANTIATE_TEST_SUITE_P(
    Lookups, CallInFlightTest,
    ::testing::Values(CallCase{"ControllerDevice", fn::kSetRohiPolicy,
                               "Unable to set controller rohi policy. IOCTL was unsuccessful.",
                               [](StorageManagementBase& f, const Controller& c) {
                                 return f.SetControllerRohiPolicy(c, true);
                               }},
                      CallCase{"ControllerRecord", fn::kActivateDriveLed,
                               "Unable to activate drive LED. IOCTL was unsuccessful.",
                               [](StorageManagementBase& f, const Controller& c) {
                                 return f.ActivateDriveLed(c, kSataDrive, true);
                               }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace VESK_Managed
