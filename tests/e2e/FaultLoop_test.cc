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
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<const std::uint8_t*>(bytes)[i];
    text += digits[byte >> 4];
    text += digits[byte & 15];
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

// The lines of `dump` that `other` lacks, shortened to what tells records apart.
std::string Missing(const std::string& dump, const std::string& other) {
  std::istringstream lines(dump);
  std::string missing;
  for (std::string line; std::getline(lines, line);) {
    if (other.find(line + '\n') == std::string::npos)
      missing += "  " + line.substr(0, 72) + "...\n";
  }
  return missing;
}
std::string Difference(const std::string& got, const std::string& expected) {
  return "records not expected:\n" + Missing(got, expected) + "records missing:\n" +
         Missing(expected, got);
}

const Controller& Record(StorageManagement& m, const vesk_guid& id) {
  return *m.GetControllers().GetControllersById().at(id);
}
const DeviceHandle* Device(StorageManagement& m, const vesk_guid& id) {
  return Record(m, id).GetDeviceHandle().get();
}
const Volume& VolumeNamed(StorageManagement& m, std::string_view name) {
  for (const auto& [id, volume] : m.GetVolumes()) {
    if (testing::Text(volume->name, sizeof volume->name) == name) return *volume;
  }
  throw std::out_of_range(std::string(name));
}

using Step = std::function<void(StorageManagement&)>;

// A management operation, and what brings the demo machine into a state where it changes
// something (run without faults, before the loop).
struct Operation {
  const char* name;
  std::function<void(SimulatedMachine&, StorageManagement&)> prepare;
  Step run;
};

std::vector<Operation> Operations() {
  using M = StorageManagement&;
  using S = SimulatedMachine&;
  auto failMember = [](S s, M) {
    s.driver->SetDriveStatus(kSataMember, sim::drive_status::kFailed);
  };
  return {
      {"ReadPatrol", nullptr, [](M m) { m.SetControllerReadPatrolPolicy(Device(m, kSata), true); }},
      {"Rohi", nullptr, [](M m) { m.SetControllerRohiPolicy(Device(m, kSata), true); }},
      {"ArrayCache", nullptr,
       [](M m) { m.SetArrayCachePolicy(Device(m, kDorn), kDornArray, false); }},
      {"AddDrives", nullptr,
       [](M m) { m.AddDrivesToArray(Device(m, kDorn), kDornArray, {kNvmeFree1}); }},
      {"CancelVerify", [](S, M m) { m.VerifyVolume(Device(m, kDorn), kData, false); },
       [](M m) { m.CancelVerifyVolume(Device(m, kDorn), kData); }},
      {"ChangeLayout", nullptr,
       [](M m) {
         m.ChangeRaidLayout(Device(m, kSata), kSystem, vesk_strip_size{64}, VESK_RAID_5,
                            {kSataFree});
       }},
      {"Create", nullptr,
       [](M m) {
         m.CreateVolume(Record(m, kDorn), Mirror(true), {kNvmeFree1, kNvmeFree2});
       }},
      {"Delete", nullptr, [](M m) { m.DeleteVolume(Device(m, kDorn), kScratch); }},
      {"Expand", nullptr,
       [](M m) {
         m.ExpandVolume(Device(m, kDorn), kData,
                        m.GetVolumes().at(kData)->size + (std::uint64_t{1} << 40));
       }},
      {"Initialize",
       [](S, M m) {
         m.CreateVolume(Record(m, kDorn), Mirror(false), {kNvmeFree1, kNvmeFree2});
       },
       [](M m) { m.InitializeVolume(Device(m, kDorn), VolumeNamed(m, "Mirror").id); }},
      {"MarkVolumeNormal",
       [=](S s, M m) {
         failMember(s, m);
         m.MarkDriveAsNormal(Device(m, kSata), kSataMember);
       },
       [](M m) { m.MarkVolumeAsNormal(Device(m, kSata), kSystem); }},
      {"Rebuild", [](S, M m) { m.RemoveDrive(Device(m, kSata), kSataMember); },
       [](M m) { m.RebuildVolume(Device(m, kSata), kSystem, {kSataFree}); }},
      {"Rename", nullptr, [](M m) { m.RenameVolume(Device(m, kDorn), kScratch, "Fast5"); }},
      {"VolumeCache", nullptr,
       [](M m) {
         m.SetVolumeCachePolicy(Device(m, kDorn), kScratch, vesk_volume_cache_policy{3});
       }},
      {"Rwh", nullptr,
       [](M m) {
         m.SetVolumeRaidWriteHolePolicy(Device(m, kDorn), kData, vesk_rwh_policy{2}, kNvmeFree1);
       }},
      {"Verify", nullptr, [](M m) { m.VerifyVolume(Device(m, kDorn), kData, true); }},
      {"Led", nullptr, [](M m) { m.ActivateDriveLed(Record(m, kDorn), kNvmeFree1, true); }},
      {"ClearMetadata",
       [](S s, M) {
         s.driver->Edit([](sim::Topology& model) {
           model.controllers[0].FindDrive(kSataSpare)->foreignMetadata = true;
         });
       },
       [](M m) { m.ClearDriveMetadata(Device(m, kSata), kSataSpare); }},
      {"DisableCache", nullptr,
       [](M m) { m.DisableWriteCacheOnDrive(Device(m, kSata), kSataFree); }},
      {"EnableCache", [](S, M m) { m.DisableWriteCacheOnDrive(Device(m, kSata), kSataFree); },
       [](M m) { m.EnableWriteCacheOnDrive(Device(m, kSata), kSataFree); }},
      {"SetCache", nullptr,
       [](M m) { m.SetWriteCacheOnDrive(Device(m, kSata), kSataFree, false); }},
      {"MarkDriveNormal", failMember,
       [](M m) { m.MarkDriveAsNormal(Device(m, kSata), kSataMember); }},
      {"MarkSpare", nullptr, [](M m) { m.MarkDriveAsSpare(Device(m, kSata), kSataFree); }},
      {"RemoveDrive", nullptr, [](M m) { m.RemoveDrive(Device(m, kSata), kSataMember); }},
      {"ResetSmart",
       [](S s, M) { s.driver->SetDriveStatus(kSataSpare, sim::drive_status::kSmartEvent); },
       [](M m) { m.ResetSmartEvent(Device(m, kSata), kSataSpare); }},
      {"UnmarkSpare", nullptr, [](M m) { m.UnmarkSpareDrive(Device(m, kSata), kSataSpare); }},
  };
}

// What the process holds open in the emulation.
struct Holdings {
  std::size_t handles = vesk::platform::OpenHandleCount();
  std::size_t registrations = vesk::platform::NotificationRegistrationCount();
  bool operator==(const Holdings&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Holdings& h) {
  return out << h.handles << " handles, " << h.registrations << " registrations";
}
Holdings operator-(const Holdings& a, const Holdings& b) {
  Holdings d;
  d.handles = a.handles - b.handles;
  d.registrations = a.registrations - b.registrations;
  return d;
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

// What one scenario starts from and what a run without faults gives.
struct Scenario {
  std::string name;
  sim::Topology start;  // the driver's model before the run
  Step setUp;           // brings a fresh facade to the body's starting point; never faulted
  Step body;            // runs with the fault armed
  std::string clean;    // the facade's records right after the body, without faults
  std::string before;   // the facade's records after `setUp`
  std::string after;    // a full refresh after the body, without faults
  Holdings held;        // what a facade holds after its first refresh
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
      if (Present(i)) continue;
      vesk::sim::DeviceSpec description;
      description.manufacturer = L"Korva Corporation";
      description.service = simulated.Model().controllers[i].service;
      description.pdoName = pdoNames[i];
      description.backend = simulated.recorder;
      simulated.devices[i] = simulated.machine.AddDevice(std::move(description));
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
    const Holdings empty;
    StorageManagement management;
    if (s.setUp) {
      s.setUp(management);
      s.before = Dump(management);
      s.held = Holdings() - empty;
    }
    s.body(management);
    if (!s.setUp) s.held = Holdings() - empty;
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
    const Holdings empty;
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
      const std::string got = Dump(management);
      if (succeeded && got != s.clean && simulated.machine.DebugOutput().size() == debugLines) {
        ADD_FAILURE() << "succeeded with other records than without the fault, and said nothing: "
                      << Difference(got, s.clean);
      }
      for (const auto& pdoName : pdoNames) {
        EXPECT_TRUE(MutexFree(pdoName))
            << "the device mutex of " << vesk::platform::ToUtf8(pdoName) << " is held";
      }
      Retry(s, management, succeeded);
      EXPECT_EQ(Holdings() - empty, s.held) << "held after the retry";
    }
    EXPECT_EQ(Holdings(), empty) << "left over once the facade is gone";
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
    const std::string retried = Dump(management);
    EXPECT_TRUE(retried == s.after)
        << "the retry gave another topology: " << Difference(retried, s.after);
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
  for (const Operation& operation : Operations()) {
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
