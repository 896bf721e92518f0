// Fault loops in the manner of SQLite's do_faultsim_test. For every fault kind (each fault switch
// of the emulated Windows functions, each per-request fault of the simulated driver) and for
// N = 1, 2, 3, ... until a run in which the fault no longer fires, a full refresh and each
// management operation run with the fault armed at the Nth call or request. A run must end in
// success or in a documented exception with a message; afterwards no device is left locked, the
// process holds no more handles and notification registrations than a run without the fault,
// and a retry without the fault gives the topology a run without the fault gives.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <typeinfo>

#include "tests/Watchdog.h"
#include "tests/e2e/Harness.h"

namespace Vesk {
namespace {

using testing::FullRefresh;
using testing::Guid;
using testing::SimulatedMachine;
namespace sim = vesk::sim;
using namespace testing::demo;
using sim::Api;

// Far beyond the calls a refresh of the demo machine makes: a fault still firing here fires
// forever.
constexpr int kMaxN = 500;
// A run takes milliseconds; one that takes this long is stuck (a lock that is never released, a
// request sent again and again).
constexpr int kRunSeconds = 10;

struct FaultKind {
  std::string name;
  // Arms the fault for call or request `nth` (from 1) from now on.
  std::function<void(SimulatedMachine&, int nth)> arm;
  std::function<bool(const SimulatedMachine&)> fired;
  // A request failed as busy is sent once more.
  int resends = 0;
  // The switch fails a release that Windows never fails for the owner, and leaves the mutex
  // with the calling thread.
  bool releaseKeepsMutex = false;
};

FaultKind Switch(std::string name, Api api, DWORD error) {
  return {std::move(name),
          [=](SimulatedMachine& s, int nth) { s.machine.FailCalls(api, error, 1, nth - 1); },
          [=](const SimulatedMachine& s) { return !s.machine.FaultPending(api); }, 0,
          api == Api::ReleaseMutex};
}

FaultKind Driver(std::string name, sim::Fault::Kind kind, std::uint32_t value = 0) {
  return {
      std::move(name),
      [=](SimulatedMachine& s, int nth) { s.recorder->FaultAt(nth, sim::Fault(kind, 0, value)); },
      [](const SimulatedMachine& s) { return s.recorder->FaultFired(); },
      kind == sim::Fault::Kind::Busy ? 1 : 0};
}

std::vector<FaultKind> Kinds() {
  using K = sim::Fault::Kind;
  return {
      Switch("CreateFile2", Api::CreateFile2, ERROR_GEN_FAILURE),
      Switch("DeviceIoControl", Api::DeviceIoControl, ERROR_GEN_FAILURE),
      Switch("CreateEventW", Api::CreateEventW, ERROR_NOT_ENOUGH_MEMORY),
      Switch("CreateMutexW", Api::CreateMutexW, ERROR_ACCESS_DENIED),
      Switch("ReleaseMutex", Api::ReleaseMutex, ERROR_NOT_OWNER),
      Switch("ConvertStringSecurityDescriptor", Api::ConvertStringSecurityDescriptor,
             ERROR_NOT_ENOUGH_MEMORY),
      Switch("CM_Register_Notification", Api::CM_Register_Notification, CR_OUT_OF_MEMORY),
      Switch("SetupDiCreateDeviceInfoList", Api::SetupDiCreateDeviceInfoList,
             ERROR_NOT_ENOUGH_MEMORY),
      Switch("SetupDiGetClassDevsExW", Api::SetupDiGetClassDevsExW, ERROR_NOT_ENOUGH_MEMORY),
      Switch("SetupDiGetDevicePropertyW", Api::SetupDiGetDevicePropertyW, ERROR_INVALID_DATA),
      Switch("EventRegister", Api::EventRegister, ERROR_NOT_ENOUGH_MEMORY),
      Driver("Busy", K::Busy),
      Driver("StatusNobodyExpects", K::Status, 0xFFFF),
      Driver("StatusBufferTooSmall", K::Status, VESK_STATUS_BUFFER_TOO_SMALL),
      Driver("StatusDriveNotFound", K::Status, VESK_STATUS_DRIVE_NOT_FOUND),
      Driver("DeviceFailure", K::DeviceFailure),
      Driver("ReturnCode", K::ReturnCode, 0x10000),
      Driver("CountBeyondBuffer", K::CountBeyondBuffer),
      Driver("DescriptorOverrun", K::DescriptorOverrun),
      Driver("ZeroIdentifier", K::ZeroIdentifier),
      Driver("RemoveDevice", K::RemoveDevice),
  };
}

std::string Hex(const void* bytes, std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", static_cast<const std::uint8_t*>(bytes)[i]);
    text += digits;
  }
  return text;
}

// Every record of the facade's snapshot, byte for byte (the records are packed).
std::string Dump(StorageManagement& management) {
  std::ostringstream out;
  for (const auto& [id, c] : management.GetControllers().GetControllersById()) {
    out << "controller " << Hex(&c->Information(), sizeof(ControllerInformation)) << ' '
        << Hex(c->executorInformation, sizeof c->executorInformation) << ' ' << c->maxDrivesPerArray
        << ' ' << c->apiVersion << '\n';
    for (const auto& level : c->raidLevelDescriptors) {
      out << "  level " << Hex(&level, sizeof(RaidLevelDescriptorHeader)) << ' '
          << Hex(level.migrationDescriptors.data(),
                 level.migrationDescriptors.size() * sizeof(vesk_migration_descriptor))
          << '\n';
    }
  }
  auto records = [&](const char* kind, const auto& map) {
    for (const auto& [id, record] : map) out << kind << ' ' << Hex(record, sizeof *record) << '\n';
  };
  records("array", management.GetArrays());
  records("volume", management.GetVolumes());
  records("drive", management.GetDrives());
  return out.str();
}

// Open handles and notification registrations of the process in the emulation, beyond `base`.
using Holdings = std::pair<std::size_t, std::size_t>;
Holdings Held(const Holdings& base = {}) {
  return {vesk::platform::OpenHandleCount() - base.first,
          vesk::platform::NotificationRegistrationCount() - base.second};
}

// True when another thread can take the named mutex of the device. Other test processes on this
// machine take the same machine-wide mutex for a moment, so the wait allows for them; a mutex that
// was left locked is never given back.
bool MutexFree(const std::wstring& pdoName) {
  const std::wstring name = DeviceHandle::MutexName(ControllerDeviceBuilder::DevicePath(pdoName));
  DWORD result = WAIT_FAILED;
  std::thread([&] {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr) return;
    result = WaitForSingleObject(mutex, 2000);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(mutex);
    CloseHandle(mutex);
  }).join();
  return result == WAIT_OBJECT_0;
}

// Requests sent twice in a row to the same device.
int Resent(const std::vector<testing::SentRequest>& requests) {
  int resent = 0;
  for (std::size_t i = 1; i < requests.size(); ++i) {
    resent += requests[i].pdoName == requests[i - 1].pdoName &&
              requests[i].bytes == requests[i - 1].bytes;
  }
  return resent;
}

// Gives back the device mutexes this thread owns.
void ReleaseOwnedMutexes(const std::vector<std::wstring>& pdoNames) {
  for (const auto& pdoName : pdoNames) {
    HANDLE mutex =
        CreateMutexW(nullptr, FALSE,
                     DeviceHandle::MutexName(ControllerDeviceBuilder::DevicePath(pdoName)).c_str());
    while (ReleaseMutex(mutex)) {
    }
    CloseHandle(mutex);
  }
}

using Step = std::function<void(StorageManagement&)>;

// What one scenario starts from and what a run without faults gives.
struct Scenario {
  std::string name;
  sim::Topology start;  // the driver's model before the run
  Step setUp;           // brings a fresh facade to the body's starting point; never faulted
  Step body;            // runs with the fault armed
  std::string clean;    // the facade's records right after the body, without faults
  std::string before;   // the facade's records after `setUp`
  std::string after;    // a full refresh after the body, without faults
  Holdings held{};      // what a facade holds after its first refresh
};

class FaultLoop : public ::testing::TestWithParam<FaultKind> {
 protected:
  explicit FaultLoop(const char* topology = "demo") : simulated(topology) {
    for (const auto& controller : simulated.Model().controllers) {
      pdoNames.push_back(controller.pdoName);
    }
    simulated.driver->SetRemovalHandler([this](const std::wstring& pdoName) {
      for (std::size_t i = 0; i < pdoNames.size(); ++i) {
        if (pdoNames[i] == pdoName) simulated.machine.RemoveDevice(simulated.devices[i]);
      }
    });
  }

  // The driver's model back to `model`, every removed device back in the machine, no fault armed.
  void Restore(const sim::Topology& model) {
    Disarm();
    simulated.driver->Edit([&](sim::Topology& t) { t = model; });
  }
  // No fault armed, every removed device back in the machine.
  void Disarm() {
    simulated.machine.ClearFaults();
    simulated.driver->ClearFaults();
    simulated.recorder->FaultAt(0, {});
    simulated.machine.WaitForNotifications();
    for (std::size_t i = 0; i < pdoNames.size(); ++i) {
      if (!Present(i)) simulated.devices[i] = simulated.AddDevice(simulated.Model().controllers[i]);
    }
    simulated.machine.WaitForNotifications();
  }
  bool Present(std::size_t device) {
    // A removed device's handles fail at once: open one and ask.
    HANDLE open = CreateFile2(ControllerDeviceBuilder::DevicePath(pdoNames[device]).c_str(),
                              GENERIC_READ, 0, OPEN_EXISTING, nullptr);
    if (open == INVALID_HANDLE_VALUE || open == nullptr) return false;
    CloseHandle(open);
    return true;
  }

  Scenario Prepare(std::string name, const sim::Topology& start, Step setUp, Step body) {
    Scenario s;
    s.name = std::move(name);
    s.start = start;
    s.setUp = std::move(setUp);
    s.body = std::move(body);
    Restore(start);
    const Holdings empty = Held();
    StorageManagement management;
    if (s.setUp) {
      s.setUp(management);
      s.before = Dump(management);
      s.held = Held(empty);
    }
    s.body(management);
    if (!s.setUp) s.held = Held(empty);
    s.clean = Dump(management);
    FullRefresh(management);
    s.after = Dump(management);
    return s;
  }

  // Runs the scenario's body with the fault armed at N = 1, 2, ... until a run in which it
  // never fired. Stops at the first run that fails a check.
  void Loop(const Scenario& s) {
    const int failures = Failures();
    for (int n = 1; n <= kMaxN; ++n) {
      const bool fired = Run(s, n);
      if (Failures() > failures || !fired) return;
    }
    ADD_FAILURE() << s.name << ": the fault still fires at N = " << kMaxN;
  }

  // One run with the fault armed at `n`, and its checks; true when the fault fired.
  bool Run(const Scenario& s, int n) {
    const FaultKind& kind = GetParam();
    const std::string run = kind.name + " at N = " + std::to_string(n) + " of " + s.name;
    const test::Watchdog watchdog(run.c_str(), kRunSeconds);
    SCOPED_TRACE(run);
    Restore(s.start);
    const Holdings empty = Held();
    bool fired = false;
    {
      StorageManagement management;
      if (s.setUp) s.setUp(management);
      const std::size_t debugLines = simulated.machine.DebugOutput().size();
      simulated.recorder->Clear();
      kind.arm(simulated, n);
      // An earlier call of this thread failed as busy: that is no request's outcome here.
      SetLastError(ERROR_BUSY);
      const bool succeeded = Documented([&] { s.body(management); });
      fired = kind.fired(simulated);
      Disarm();
      if (!fired) {
        EXPECT_TRUE(succeeded) << "failed without the fault";
      }
      EXPECT_LE(Resent(simulated.recorder->Requests()), fired ? kind.resends : 0)
          << "a request was sent again after the driver had answered it";
      if (kind.releaseKeepsMutex) ReleaseOwnedMutexes(pdoNames);
      // A run that succeeded left what a run without the fault leaves, or said on the debugger
      // output what it left out.
      if (succeeded && simulated.machine.DebugOutput().size() == debugLines) {
        EXPECT_EQ(Dump(management), s.clean)
            << "succeeded with other records than without the fault, and said nothing";
      }
      for (const auto& pdoName : pdoNames) {
        EXPECT_TRUE(MutexFree(pdoName))
            << "the device mutex of " << vesk::platform::ToUtf8(pdoName) << " is held";
      }
      Retry(s, management, succeeded);
      EXPECT_EQ(Held(empty), s.held) << "handles and registrations held after the retry";
    }
    EXPECT_EQ(Held(), empty) << "handles and registrations left once the facade is gone";
    return fired;
  }

  // Without the fault, a client's retry gives the topology a run without the fault gives: the
  // body either never took effect (it is run again) or took effect once.
  void Retry(const Scenario& s, StorageManagement& management, bool succeeded) {
    ASSERT_TRUE(Documented([&] { FullRefresh(management); })) << "the refresh after the fault";
    if (!succeeded && s.before != s.after && Dump(management) == s.before) {
      ASSERT_TRUE(Documented([&] { s.body(management); })) << "the retry failed";
      ASSERT_TRUE(Documented([&] { FullRefresh(management); }));
    }
    EXPECT_EQ(Dump(management), s.after) << "the retry gave another topology";
  }

  static int Failures() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  }

  // Runs `body`; false when it threw. Anything but a documented exception with a message fails.
  static bool Documented(const std::function<void()>& body) {
    try {
      body();
      return true;
    } catch (const TaluException& e) {
      EXPECT_FALSE(e.Message().empty()) << "an exception without a message";
    } catch (const std::exception& e) {
      ADD_FAILURE() << "an undocumented exception " << typeid(e).name() << ": " << e.what();
    } catch (...) {
      ADD_FAILURE() << "an exception that is no std::exception";
    }
    return false;
  }

  SimulatedMachine simulated;
  std::vector<std::wstring> pdoNames;
};

TEST_P(FaultLoop, FullRefresh) {
  Loop(Prepare("a full refresh", simulated.Model(), nullptr, FullRefresh));
}

TEST_P(FaultLoop, EveryOperation) {
  const sim::Topology demo = simulated.Model();
  for (const auto& operation : testing::EveryOperation()) {
    Restore(demo);
    if (operation.prepare) {
      StorageManagement management;
      FullRefresh(management);
      operation.prepare(simulated, management);
    }
    Loop(Prepare(operation.name, simulated.Model(), FullRefresh, operation.run));
    if (HasFailure()) return;
  }
}

void PrintTo(const FaultKind& kind, std::ostream* out) { *out << kind.name; }

// A 1.0 driver answers in the oldest layouts and without migrations.
class LegacyFaultLoop : public FaultLoop {
 protected:
  LegacyFaultLoop() : FaultLoop("legacy") {}
};

TEST_P(LegacyFaultLoop, FullRefresh) {
  Loop(Prepare("a full refresh of a 1.0 driver", simulated.Model(), nullptr, FullRefresh));
}

INSTANTIATE_TEST_SUITE_P(EveryKind, FaultLoop, ::testing::ValuesIn(Kinds()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(EveryKind, LegacyFaultLoop, ::testing::ValuesIn(Kinds()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace Vesk
