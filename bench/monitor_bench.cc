// `veskctl monitor` on the large topology (600 NVMe drives, 16 arrays, 16 volumes):
//
// - LockHeldPerLook: how long one look holds the state file's lock (open, lock, read the file's
//   bytes, unlock); counter lockHeldUs. The look's remaining work (parsing, loading the machine)
//   runs after the lock is let go and is timed apart (the iteration time).
// - EventsPerSecond: one look at a machine on which every drive's LED and every volume's cache
//   policy changed since the last: load, refresh, events (616 changes, 616 events). The counter
//   events is the rate the monitor keeps up with.
// - LookWithTheLastKnownState/{0,1}: one look of the monitor that records, with nothing changed
//   (0) and with one drive's LED changed (1): load, refresh, take the events with the state they
//   leave, and commit them (the state written aside and renamed over, the records appended);
//   counter stateKiB, the size of the last-known state.
// - CatchUpWithTheLastKnownState: what a watcher that starts or takes over does once: the events
//   between a last-known state and the machine now, with every drive's LED and every volume's
//   cache policy changed between them (616 changes).
// - MemoryAfterAnHourOfChurn: 3,600 looks, one per second of the simulated clock, with background
//   work starting, running and ending and drives failing and coming back; counters: resident set
//   size after the first look and after the hour, in KiB.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "simulator/Topology.h"
#include "tools/veskctl/monitor/LastKnown.h"
#include "tools/veskctl/monitor/Monitor.h"
#include "tools/veskctl/session/StateFile.h"

namespace {

namespace fs = std::filesystem;
using vesk::sim::Topology;

Topology Large() { return vesk::sim::LoadTopologyFile(VESK_TOPOLOGY_DIR "/large.json"); }

double ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1024.0;
}

void LockHeldPerLook(benchmark::State& state) {
  const fs::path folder =
      fs::temp_directory_path() / ("monitor-bench-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const fs::path path = folder / "state.json";
  {
    veskctl::StateFile file(path, {});
    file.Save(vesk::sim::SaveTopology(Large()), nlohmann::json::object());
  }
  double heldUs = 0;
  for (auto _ : state) {
    std::chrono::duration<double> held{};
    benchmark::DoNotOptimize(veskctl::ReadSavedMachine(path, true, -1, false, &held));
    heldUs += held.count() * 1e6;
  }
  state.counters["lockHeldUs"] = benchmark::Counter(heldUs, benchmark::Counter::kAvgIterations);
  fs::remove_all(folder);
}
BENCHMARK(LockHeldPerLook)->Unit(benchmark::kMillisecond);

void EventsPerSecond(benchmark::State& state) {
  veskctl::Watcher watcher(veskctl::EventFeed::Mode::Quiet);
  Topology machine = Large();
  watcher.Load(machine);
  watcher.Refresh();
  watcher.Feed().SetMode(veskctl::EventFeed::Mode::Live);
  std::size_t events = 0;
  bool on = false;
  for (auto _ : state) {
    state.PauseTiming();
    on = !on;
    for (auto& c : machine.controllers) {
      for (auto& d : c.drives) d.ledActive = on;
      for (auto& v : c.volumes) v.cachePolicy = on ? 3 : 1;
    }
    state.ResumeTiming();
    watcher.Load(machine);
    watcher.Refresh();
    events += watcher.Feed().Take().size();
  }
  state.counters["events"] =
      benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}
BENCHMARK(EventsPerSecond)->Unit(benchmark::kMillisecond);

void LookWithTheLastKnownState(benchmark::State& state) {
  const fs::path folder =
      fs::temp_directory_path() / ("monitor-bench-known-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const veskctl::Journal journal(folder / "state.json.journal");
  const veskctl::LastKnownFile file(journal);
  veskctl::Watcher watcher(veskctl::EventFeed::Mode::Quiet);
  Topology machine = Large();
  watcher.Load(machine);
  watcher.Refresh();
  watcher.Feed().SetMode(veskctl::EventFeed::Mode::Live);
  veskctl::LastKnown known;
  known.machine = watcher.Feed().Known();
  file.Commit(known, {});
  auto& drive = machine.controllers[0].drives[0];
  for (auto _ : state) {
    if (state.range(0) == 1) drive.ledActive = !drive.ledActive;
    watcher.Load(machine);
    watcher.Refresh();
    nlohmann::json now;
    auto events = watcher.Feed().Take(&now);
    if (events.empty()) continue;
    known.machine = std::move(now);
    std::vector<nlohmann::json> records;
    for (const auto& e : events) records.push_back(veskctl::EventJson(e));
    file.Commit(known, std::move(records));
  }
  state.counters["stateKiB"] = static_cast<double>(fs::file_size(file.Path())) / 1024.0;
  fs::remove_all(folder);
}
BENCHMARK(LookWithTheLastKnownState)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void CatchUpWithTheLastKnownState(benchmark::State& state) {
  veskctl::Watcher watcher(veskctl::EventFeed::Mode::Quiet);
  Topology machine = Large();
  watcher.Load(machine);
  watcher.Refresh();
  const nlohmann::json known = watcher.Feed().Known();
  for (auto& c : machine.controllers) {
    for (auto& d : c.drives) d.ledActive = !d.ledActive;
    for (auto& v : c.volumes) v.cachePolicy = v.cachePolicy == 3 ? 1 : 3;
  }
  watcher.Load(machine);
  watcher.Refresh();
  std::size_t events = 0;
  for (auto _ : state) {
    watcher.Feed().Since(known);
    events = watcher.Feed().Take().size();
  }
  state.counters["events"] = static_cast<double>(events);
}
BENCHMARK(CatchUpWithTheLastKnownState)->Unit(benchmark::kMillisecond);

void MemoryAfterAnHourOfChurn(benchmark::State& state) {
  for (auto _ : state) {
    veskctl::Watcher watcher(veskctl::EventFeed::Mode::Quiet);
    watcher.Load(Large());
    watcher.Refresh();
    watcher.Feed().SetMode(veskctl::EventFeed::Mode::Live);
    const double start = ResidentKiB();
    auto& driver = watcher.Driver();
    const auto volumes = driver.Snapshot().controllers[0].volumes;
    const auto drives = driver.Snapshot().controllers[0].drives;
    std::size_t events = 0;
    for (int second = 0; second < 3600; ++second) {
      // The monitor's own driver stands in for the saved machine: change it, save it, load it.
      driver.AdvanceClock(1000);
      const auto& v = volumes[static_cast<std::size_t>(second / 60) % volumes.size()];
      const auto& d = drives[static_cast<std::size_t>(second) % drives.size()];
      driver.Edit([&](Topology& t) {
        auto& c = t.controllers[0];
        if (second % 60 == 0 && !c.FindVolume(v.id)->task) {
          vesk::sim::Task verify;
          verify.kind = vesk::sim::Task::Kind::Verify;
          verify.durationMs = 30000;
          c.FindVolume(v.id)->task = verify;
          c.FindVolume(v.id)->state = vesk::sim::volume_state::kVerifying;
        }
        c.FindDrive(d.id)->ledActive = !c.FindDrive(d.id)->ledActive;
      });
      const auto& failing = drives[static_cast<std::size_t>(second / 300) % drives.size()];
      if (second % 300 == 100) driver.SetDriveStatus(failing.id, vesk::sim::drive_status::kFailed);
      if (second % 300 == 160) driver.SetDriveStatus(failing.id, vesk::sim::drive_status::kNormal);
      watcher.Load(vesk::sim::LoadTopology(driver.Save()));
      watcher.Refresh();
      events += watcher.Feed().Take().size();
      watcher.SimulatedMachine()->TakeDebugOutput();  // as each look of the monitor does
    }
    state.counters["events"] = static_cast<double>(events);
    state.counters["residentKiBAfterFirstLook"] = start;
    state.counters["residentKiBAfterAnHour"] = ResidentKiB();
  }
}
BENCHMARK(MemoryAfterAnHourOfChurn)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
