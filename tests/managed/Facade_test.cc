// The managed facade end to end against the simulated RAID driver on a simulated machine:
// population, operations followed by a polling refresh, hot-plug through HandlePnpEvent, the I/O
// semaphore and disposal, and native failures reaching the caller translated.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "ManagedTestSupport.h"
#include "Watchdog.h"
#include "e2e/Harness.h"
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

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class FacadeTest : public ::testing::Test {
 protected:
  FacadeTest() : facade(std::make_unique<StorageManagementBase>()) { Populate(*facade); }

  Vesk::testing::SimulatedMachine simulated{"demo"};
  sim::Machine& machine = simulated.machine;
  std::shared_ptr<sim::RaidDriver>& driver = simulated.driver;
  std::vector<sim::DeviceId>& devices = simulated.devices;
  std::unique_ptr<StorageManagementBase> facade;
};

// Population mirrors the topology; a polling refresh then raises exactly what operations changed.
TEST_F(FacadeTest, PopulationMirrorsTheTopologyAndAPollingRefreshRaisesOnlyWhatChanged) {
  ASSERT_EQ(facade->Controllers().Count(), 2u);
  auto sata = facade->Controllers()[kSataDeviceId];
  EXPECT_NE(dynamic_cast<SataController*>(sata.get()), nullptr);
  EXPECT_EQ(sata->Name(), L"Korva SATA RAID Controller");
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
  facade->ClearUpdatesData();
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
  machine.AddDevice({.manufacturer = L"Korva Corporation",
                     .service = L"zrTalu",
                     .pdoName = L"\\Device\\RaidPort1",
                     .backend = driver});
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

}  // namespace
}  // namespace VESK_Managed
