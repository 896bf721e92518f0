// The managed facade end to end against the simulated RAID driver on a simulated machine:
// population, operations followed by a polling refresh, hot-plug through HandlePnpEvent, devices
// replugged under it, the I/O semaphore and disposal, and native failures reaching the caller
// translated.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "ManagedTestSupport.h"
#include "Watchdog.h"
#include "device/DeviceHandle.h"
#include "simulator/Machine.h"
#include "simulator/RaidDriver.h"
#include "vesk_managed/StorageManagementBase.h"

namespace VESK_Managed {
namespace {

using namespace std::chrono_literals;
namespace sim = vesk::sim;
namespace fn = vesk::sim::function;
using testing::ChangeLog;
using testing::ExpectThrows;
using testing::PollingRefresh;
using testing::Populate;

constexpr std::uint16_t kSataDeviceId = 10274;
constexpr std::uint16_t kDornDeviceId = 2679;

Guid ParseGuid(const char* text) { return Guid(*sim::ParseGuid(text)); }

const Guid kSpareDrive = ParseGuid("5a7a0000-0000-4000-8000-000000000002");
const Guid kFreeSata = ParseGuid("5a7a0000-0000-4000-8000-000000000003");
const Guid kSystemVolume = ParseGuid("f0a7a000-0000-4000-8000-000000000001");
const Guid kSataDisk = ParseGuid("5a7a0000-0000-4000-8000-000000000000");

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

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

class FacadeTest : public ::testing::Test {
 protected:
  FacadeTest()
      : driver(sim::RaidDriver::FromFile(std::string(VESK_TOPOLOGY_DIR) + "/demo.json")),
        backend(std::make_shared<GatedBackend>(driver)) {
    for (const auto& controller : driver->Snapshot().controllers) {
      descriptions.push_back({.manufacturer = L"Korva Corporation",
                              .service = controller.service,
                              .pdoName = controller.pdoName,
                              .backend = backend});
      devices.push_back(machine.AddDevice(descriptions.back()));
    }
    // The arrivals of the devices above were raised before the facade registered, so they never
    // reach it, however late the machine delivers them.
    facade = std::make_unique<StorageManagementBase>();
    Populate(*facade);
  }

  sim::Machine machine;
  std::shared_ptr<sim::RaidDriver> driver;
  std::shared_ptr<GatedBackend> backend;
  std::vector<sim::DeviceSpec> descriptions;
  std::vector<sim::DeviceId> devices;
  std::unique_ptr<StorageManagementBase> facade;
};

// Population mirrors the topology; a polling refresh then raises exactly what operations changed.
TEST_F(FacadeTest, PopulationMirrorsTheTopologyAndAPollingRefreshRaisesOnlyWhatChanged) {
  ASSERT_EQ(facade->Controllers().Count(), 2u);
  auto sata = facade->Controllers()[kSataDeviceId];
  EXPECT_NE(dynamic_cast<SataController*>(sata.get()), nullptr);
  EXPECT_EQ(sata->RaidLevelDescriptors().size(), 4u);
  EXPECT_NE(dynamic_cast<DornController*>(facade->Controllers()[kDornDeviceId].get()), nullptr);
  EXPECT_EQ(facade->Arrays().Count(), 2u);
  EXPECT_EQ(facade->Volumes().Count(), 3u);
  EXPECT_EQ(facade->Drives().Count(), 11u);
  EXPECT_NE(dynamic_cast<SataOpticalDrive*>(
                facade->Drives()[ParseGuid("5a7a0000-0000-4000-8000-0000000000f5")].get()),
            nullptr);
  EXPECT_NE(dynamic_cast<DornDrive*>(
                facade->Drives()[ParseGuid("d0e10000-0000-4000-8000-000000000000")].get()),
            nullptr);
  EXPECT_EQ(facade->Volumes()[kSystemVolume]->Name(), L"System");

  ChangeLog log(*facade);
  PollingRefresh(*facade);
  EXPECT_TRUE(log.entries.empty()) << log.entries.front();
  EXPECT_EQ(facade->SetControllerRohiPolicy(*sata, true), vesk_status::Success);
  EXPECT_EQ(facade->RenameVolume(*sata, kSystemVolume, L"Boot"), vesk_status::Success);
  PollingRefresh(*facade);
  EXPECT_EQ(log.entries,
            (std::vector<std::string>{"controller10274.RohiEnabled",
                                      "volume" + std::to_string(0xf0a7a000) + ".Name"}));
  EXPECT_EQ(facade->Volumes()[kSystemVolume]->Name(), L"Boot");
}

// The name's bytes on the wire are the operations table's; here the refusal before anything is
// sent, and the identifier handed back naming the volume a refresh then finds.
TEST_F(FacadeTest, CreateVolumeRefusesALongNameWithoutSendingAndReturnsTheNewVolume) {
  auto sata = facade->Controllers()[kSataDeviceId];
  const Guid drives[] = {kSpareDrive, kFreeSata};
  const auto strip = sata->RaidLevelDescriptors().at(vesk_raid_level::Raid0).DefaultStripSize();
  const auto create = [&](const wchar_t* name) {
    return facade->CreateVolume(*sata, drives, name, strip, vesk_raid_level::Raid0, 1ull << 30,
                                false, false, vesk_rwh_policy{}, Guid::Empty(), Guid::Empty());
  };
  auto refused = create(L"ABCDEFGHIJKLMNOPQ");
  EXPECT_EQ(refused.first, vesk_status::InvalidNameLength);
  EXPECT_TRUE(refused.second.IsEmpty());
  EXPECT_EQ(driver->RequestCount(fn::kCreateVolume), 0u);

  // The demo's spare becomes free for the new array.
  EXPECT_EQ(facade->UnmarkSpareDrive(*sata, kSpareDrive), vesk_status::Success);
  auto created = create(L"ABCDEFGHIJKLMNOP");
  EXPECT_EQ(created.first, vesk_status::Success);
  PollingRefresh(*facade);
  ASSERT_TRUE(facade->Volumes().ContainsKey(created.second));
  EXPECT_EQ(facade->Volumes()[created.second]->Name(), L"ABCDEFGHIJKLMNOP");
}

TEST_F(FacadeTest, DriverRefusalsAndTransportFailuresArriveTranslated) {
  auto sata = facade->Controllers()[kSataDeviceId];
  driver->InjectFault({sim::Fault::Kind::Status, fn::kMarkAsSpare, 7});
  ExpectThrows<NativeVeskException>([&] { facade->MarkDriveAsSpare(*sata, kSpareDrive); },
                                    "Unable to mark drive as spare. IOCTL completed with error.",
                                    7);
  driver->InjectFault({sim::Fault::Kind::DeviceFailure, fn::kResetSmartEvent, ERROR_GEN_FAILURE});
  ExpectThrows<NativeTaluException>(
      [&] { facade->ResetSmartEvent(*sata, kSpareDrive); },
      "Unable to reset SMART event from drive. IOCTL was unsuccessful.", ERROR_GEN_FAILURE);
  driver->InjectFault({sim::Fault::Kind::Status, fn::kGetArrayInfo, 3});
  ExpectThrows<NativeVeskException>(
      [&] { facade->UpdateAllArrays(); },
      "Unable to retrieve array information. IOCTL completed with error.", 3);
  driver->InjectFault({sim::Fault::Kind::DeviceFailure, fn::kGetVolumeInfo, ERROR_GEN_FAILURE});
  ExpectThrows<NativeTaluException>(
      [&] { facade->UpdateAllVolumes(); },
      "Unable to retrieve volume information. IOCTL was unsuccessful.", ERROR_GEN_FAILURE);
  facade->ClearUpdatesData();
  // The devices are still there: no failure above makes a polling refresh rediscover them.
  const auto discoveries = driver->RequestCount(fn::kGetControllerIdentifiers);
  PollingRefresh(*facade);
  EXPECT_EQ(driver->RequestCount(fn::kGetControllerIdentifiers), discoveries);
}

TEST_F(FacadeTest, ControllersPulledAndPluggedReachTheManagedCollectionWhateverItsHandlersDo) {
  auto dorn = facade->Controllers()[kDornDeviceId];
  machine.ClearDebugOutput();
  // A handler's failure ends no bookkeeping; it is reported, as every failure of a
  // notification-driven refresh is.
  facade->Controllers().CollectionChanged.Subscribe([](auto&, const auto& e) {
    if (e.Action == Components::NotifyCollectionChangedAction::Remove) throw 42;
    throw std::runtime_error("handler failed");
  });
  machine.RemoveDevice(devices[1]);
  ASSERT_TRUE(WaitFor([&] { return facade->Controllers().Count() == 1; }));
  EXPECT_FALSE(facade->Controllers().ContainsKey(kDornDeviceId));
  EXPECT_THROW(facade->SetControllerRohiPolicy(*dorn, true), NativeTaluException);

  const auto before = driver->RequestCount(fn::kSetRohiPolicy);
  machine.AddDevice(descriptions[1]);
  ASSERT_TRUE(WaitFor([&] { return facade->Controllers().Count() == 2; }));
  ASSERT_TRUE(facade->GetIoSemaphore().Wait(5000ms));  // the refresh has ended
  facade->GetIoSemaphore().Release();
  // A controller that arrived after population is found by the operations.
  auto plugged = facade->Controllers()[kDornDeviceId];
  EXPECT_EQ(facade->SetControllerRohiPolicy(*plugged, true), vesk_status::Success);
  EXPECT_EQ(driver->RequestCount(fn::kSetRohiPolicy), before + 1);
  const auto debug = machine.DebugOutput();
  const std::wstring kFailed = L"Controller refresh after a device notification failed";
  EXPECT_EQ(std::count(debug.begin(), debug.end(), kFailed + L".\n"), 1);
  EXPECT_EQ(std::count(debug.begin(), debug.end(), kFailed + L": handler failed\n"), 1);
}

// Each facade hears the notification; its refresh waits only while its own user interface holds the
// semaphore.
TEST_F(FacadeTest, ANotificationWaitsWhileTheUserInterfaceHoldsTheSemaphore) {
  StorageManagementBase other;
  Populate(other);
  facade->GetIoSemaphore().Wait();
  machine.RemoveDevice(devices[1]);
  EXPECT_TRUE(WaitFor([&] { return other.Controllers().Count() == 1; }));
  machine.WaitForNotifications();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(facade->Controllers().Count(), 2u);
  facade->GetIoSemaphore().Release();
  EXPECT_TRUE(WaitFor([&] { return facade->Controllers().Count() == 1; }));
  EXPECT_TRUE(WaitFor([&] { return facade->GetIoSemaphore().CurrentCount() == 1; }));
}

TEST_F(FacadeTest, AFailedNotificationRefreshIsReportedAndTheNextPollingRefreshRecovers) {
  machine.ClearDebugOutput();
  driver->InjectFault({sim::Fault::Kind::Status, fn::kGetExecutorInformation, 1, 2});
  machine.RemoveDevice(devices[1]);
  machine.WaitForNotifications();
  ASSERT_TRUE(WaitFor([&] { return !machine.DebugOutput().empty(); }));
  EXPECT_EQ(machine.DebugOutput(),
            (std::vector<std::wstring>{
                L"Controller refresh after a device notification failed: Unable to retrieve "
                L"executor information. IOCTL completed with error.\n"}));
  ASSERT_TRUE(facade->GetIoSemaphore().Wait(5000ms));
  facade->GetIoSemaphore().Release();
  EXPECT_EQ(facade->Controllers().Count(), 2u);

  // Until discovery succeeds, every polling refresh starts with it.
  EXPECT_THROW(facade->UpdateAllControllers(), NativeVeskException);
  PollingRefresh(*facade);
  EXPECT_EQ(facade->Controllers().Count(), 1u);
  EXPECT_TRUE(facade->Controllers().ContainsKey(kSataDeviceId));
  EXPECT_EQ(facade->Arrays().Count(), 1u);
  EXPECT_EQ(facade->Drives().Count(), 5u);
  // Recovered: polling refreshes discover nothing any more.
  const auto discoveries = driver->RequestCount(fn::kGetControllerIdentifiers);
  PollingRefresh(*facade);
  EXPECT_EQ(driver->RequestCount(fn::kGetControllerIdentifiers), discoveries);
}

TEST_F(FacadeTest, DisposalFromAHandlerOnTheNotificationThreadNeitherHangsNorFreesWhatIsRead) {
  Vesk::test::Watchdog watchdog("disposal from a notification handler");
  auto sata = facade->Controllers()[kSataDeviceId];
  std::atomic<bool> disposed{false};
  facade->Controllers().CollectionChanged.Subscribe([&](auto&, auto&) {
    facade->Dispose();
    disposed = true;
    // Long enough for the facade's destruction below to begin while this refresh still runs.
    std::this_thread::sleep_for(50ms);
  });
  machine.RemoveDevice(devices[1]);
  ASSERT_TRUE(WaitFor([&] { return disposed.load(); }));
  EXPECT_THROW(facade->UpdateAllControllers(), System::ObjectDisposedException);
  // The native facade goes once the refresh has unwound; the destructor waits for that.
  facade.reset();
  EXPECT_GT(sata->RaidLevelDescriptors().begin()->second.MaxDrivesCount(), 0);
}

TEST_F(FacadeTest, DisposalStopsAWaitingNotificationRefresh) {
  facade->GetIoSemaphore().Wait();
  const auto queries = driver->RequestCount(fn::kGetExecutorInformation);
  machine.RemoveDevice(devices[1]);
  machine.WaitForNotifications();
  facade->Dispose();
  facade->GetIoSemaphore().Release();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(driver->RequestCount(fn::kGetExecutorInformation), queries);
  EXPECT_EQ(facade->Controllers().Count(), 2u);
}

// --- Replugged devices ---------------------------------------------------------------------------
// Controller devices that go and come back while the managed facade holds their controllers.
// The facade here hears no notification of its own: each test runs the notification-driven
// refresh (HandlePnpEvent) at the moment it stands for, so that the orderings hot-plug produces
// only now and then happen every time.
class ReplugTest : public FacadeTest {
 protected:
  // The facade's registration for arrivals and removals fails: it stays usable, and only the test
  // runs its refreshes.
  ReplugTest() {
    facade.reset();
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

  // A new facade whose own registration fails; with `handlesHear` false so do those of the
  // device handles its population opens, so that no removal reaches them either.
  void Rebuild(bool handlesHear) {
    facade.reset();
    machine.FailCalls(sim::Api::CM_Register_Notification, CR_FAILURE, handlesHear ? 1 : -1);
    facade = std::make_unique<StorageManagementBase>();
    Populate(*facade);
    machine.FailCalls(sim::Api::CM_Register_Notification, CR_FAILURE, 0);
  }

  // A polling refresh as a user interface runs it, `before(k)` running before its k-th UpdateAll
  // member; its failure, if any.
  std::exception_ptr TryPollingRefresh(const std::function<void(int)>& before = nullptr) {
    StorageManagementBase& f = *facade;
    const std::function<void()> members[] = {
        [&] { f.UpdateAllControllers(); }, [&] { f.UpdateAllArrays(); },
        [&] { f.UpdateAllVolumes(); }, [&] { f.UpdateAllDrives(); }};
    f.GetIoSemaphore().Wait();
    std::exception_ptr failure;
    try {
      for (int k = 0; k < 4; ++k) {
        if (before) before(k);
        members[k]();
      }
      f.SynchronizeStorageData();
    } catch (...) {
      failure = std::current_exception();
    }
    f.ClearUpdatesData();
    f.GetIoSemaphore().Release();
    return failure;
  }
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

// The facade hears nothing of a replug (its registration failed, or a notification was lost): a
// polling refresh finds the dead device itself and rediscovers. A device whose own handle heard of
// its removal before the refresh began costs no failed refresh; one that went during a refresh, or
// whose handle heard nothing either, fails that refresh and no other.
TEST_F(ReplugTest, AReplugNobodyHeardFailsAtMostOnePollingRefresh) {
  const char* const failures[] = {
      "Unable to retrieve executor information. IOCTL was unsuccessful.",
      "Unable to retrieve array information. IOCTL was unsuccessful.",
      "Unable to retrieve volume information. IOCTL was unsuccessful.",
      "Unable to retrieve drive information. IOCTL was unsuccessful."};
  for (const bool handlesHear : {true, false}) {
    for (int at = 0; at < 4; ++at) {
      SCOPED_TRACE(std::string(handlesHear ? "handles hear" : "nobody hears") +
                   ", the device goes before member " + std::to_string(at));
      Rebuild(handlesHear);
      const sim::DeviceId gone = devices[0];
      const auto replug = [&](int member) {
        if (member != at) return;
        const std::shared_ptr<Vesk::DeviceHandle> old = SataRecord().GetDeviceHandle();
        Unplug();
        Plug();
        // Its removal reaction runs on a thread of its own.
        if (handlesHear) {
          ASSERT_EQ(WaitForSingleObject(old->exitEvent, 5000), WAIT_OBJECT_0);
        }
      };
      const std::exception_ptr first = TryPollingRefresh(replug);
      int failed = 0;
      for (int refresh = 1; refresh < 5; ++refresh) failed += TryPollingRefresh() != nullptr;
      EXPECT_EQ(failed, 0);

      if (handlesHear && at == 0) {
        EXPECT_EQ(first, nullptr);
      } else if (!first) {
        ADD_FAILURE() << "the refresh the device went in did not fail";
      } else if (handlesHear) {
        // The executor's own text, with whatever last error the thread had.
        try {
          std::rethrow_exception(first);
        } catch (const NativeTaluException& failure) {
          EXPECT_STREQ(failure.what(), "Mutex wait for device was signaled to exit.");
          EXPECT_EQ(dynamic_cast<const NativeVeskException*>(&failure), nullptr);
        }
      } else {
        ExpectThrows<NativeTaluException>([&] { std::rethrow_exception(first); }, failures[at],
                                          ERROR_DEVICE_NOT_CONNECTED);
      }
      // The controller lives on the new device only, and operations reach it.
      EXPECT_EQ(machine.OpenHandleCount(gone), 0u);
      EXPECT_EQ(machine.OpenHandleCount(devices[0]), 1u);
      const auto sata = facade->Controllers()[kSataDeviceId];
      const bool rohi = !sata->RohiEnabled();
      EXPECT_EQ(facade->SetControllerRohiPolicy(*sata, rohi), vesk_status::Success);
      EXPECT_EQ(TryPollingRefresh(), nullptr);
      EXPECT_EQ(sata->RohiEnabled(), rohi);
    }
  }
}

// A driver update reloads the device: the controller comes back on it with the same identifier
// under another management-specification version and other capabilities, and both notifications
// are handled late. From then on it is read in the new driver's layout, and the user interface
// gets a controller built from what the new driver says.
TEST_F(ReplugTest, AControllerFoundAgainUnderAnotherDriverIsReadInItsLayout) {
  const auto first = facade->Controllers()[kSataDeviceId];
  ChangeLog log(*facade);
  std::uint16_t maxDrives = 6;
  for (const int specMajor : {2, 4, 1, 3, 4}) {
    SCOPED_TRACE("driver " + std::to_string(specMajor) + ".0");
    driver->Edit([&](sim::Topology& model) {
      model.controllers[0].specMajor = static_cast<std::uint8_t>(specMajor);
      model.controllers[0].raidLevels[0].maxDrives = ++maxDrives;
    });
    log.entries.clear();
    Unplug();
    Plug();
    facade->HandlePnpEvent();  // the removal's, late
    facade->HandlePnpEvent();  // the arrival's
    EXPECT_EQ(log.entries, (std::vector<std::string>{"controller-10274", "controller+10274"}));
    ASSERT_NO_THROW(PollingRefresh(*facade));

    EXPECT_EQ(SataRecord().apiVersion, specMajor - 1u);
    const auto sata = facade->Controllers()[kSataDeviceId];
    const sim::Controller model = driver->Snapshot().controllers[0];
    for (const auto& level : model.raidLevels) {
      const RaidLevelDescriptor& descriptor =
          sata->RaidLevelDescriptors().at(static_cast<vesk_raid_level>(level.level));
      EXPECT_EQ(descriptor.MaxDrivesCount(), level.maxDrives);
      // A 1.0 driver states no migrations: the library's table stands in.
      if (specMajor > 1) {
        EXPECT_EQ(descriptor.MigrationDescriptors().size(), level.migrations.size());
      }
    }
    EXPECT_EQ(facade->Volumes()[kSystemVolume]->Name(), L"System");
    EXPECT_EQ(facade->Drives().Count(), 11u);
    EXPECT_EQ(facade->SetControllerRohiPolicy(*sata, specMajor % 2 == 0), vesk_status::Success);
  }
  // The controller held from before the updates still reads what its driver said.
  EXPECT_EQ(first->RaidLevelDescriptors().at(vesk_raid_level::Raid0).MaxDrivesCount(), 6);

  // A driver of the same layout and capabilities changes only what the library does not read of
  // its executor information: the controller stays, and its record follows that driver.
  const auto kept = facade->Controllers()[kSataDeviceId];
  driver->Edit([](sim::Topology& model) { model.controllers[0].osDriverVersion.build += 7; });
  ASSERT_NO_THROW(PollingRefresh(*facade));  // the policy set last
  log.entries.clear();
  Unplug();
  Plug();
  facade->HandlePnpEvent();
  facade->HandlePnpEvent();
  ASSERT_NO_THROW(PollingRefresh(*facade));
  EXPECT_EQ(log.entries, std::vector<std::string>{});
  EXPECT_EQ(facade->Controllers()[kSataDeviceId], kept);
  std::uint16_t build = 0;
  std::memcpy(&build, SataRecord().executorInformation + 8, sizeof build);
  EXPECT_EQ(build, driver->Snapshot().controllers[0].osDriverVersion.build);
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
  ExpectThrows<NativeTaluException>([&] { call.get(); }, c.failure, ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(backend->timedOut) << "the refresh waited for the call";
}

INSTANTIATE_TEST_SUITE_P(
    Lookups, CallInFlightTest,
    ::testing::Values(CallCase{"ControllerDevice", fn::kSetRohiPolicy,
                               "Unable to set controller rohi policy. IOCTL was unsuccessful.",
                               [](auto& f, auto& c) { return f.SetControllerRohiPolicy(c, true); }},
                      CallCase{
                          "ControllerRecord", fn::kActivateDriveLed,
                          "Unable to activate drive LED. IOCTL was unsuccessful.",
                          [](auto& f, auto& c) { return f.ActivateDriveLed(c, kSataDisk, true); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace VESK_Managed
