// Cost of the managed facade's diff (SynchronizeStorageData) as the topology grows: 1,000, 10,000,
// 100,000 and 1,000,000 drives, of which 1% (or none) changed one property since the last refresh.
// Only the diff is timed; staging the fresh records and releasing the leftovers are not. Counters:
// notifications raised per diff, and the heap each managed drive keeps (its native record, the map
// entry, the managed object and its dictionary entry). The time of one iteration is the time of
// one diff. MapWalkFloor is what no diff can do without: walking the two record maps together and
// comparing each pair of records.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstring>

#include "simulator/Machine.h"
#include "vesk_managed/StorageManagementBase.h"

namespace {

using VESK_Managed::StorageManagementBase;

Vesk::Drive MakeDrive(std::uint32_t number, std::uint8_t usage) {
  Vesk::Drive drive{};
  drive.id.group1 = number;
  drive.id.group5[0] = static_cast<std::uint8_t>(number * 31);  // spread the keys a little
  drive.type = Vesk::VESK_DRIVE_SATA_DISK;
  drive.size = 1953525168;
  drive.logicalBlockSize = 512;
  drive.totalSize = drive.size * drive.logicalBlockSize;
  drive.usage = static_cast<Vesk::vesk_drive_usage>(usage);
  std::memcpy(drive.serialNumber, "BENCH-SERIAL", 12);
  std::memcpy(drive.firmwareRevision, "FW01", 4);
  return drive;
}

class StagedFacade : public StorageManagementBase {
 public:
  void Stage(std::uint32_t count, std::uint32_t changeEvery) {
    auto& working = UpdatedDrives();
    for (std::uint32_t i = 0; i < count; ++i) {
      const bool changed = changeEvery != 0 && i % changeEvery == 0;
      auto drive = MakeDrive(i, changed ? 2 : 1);
      working[drive.id] = new Vesk::Drive(drive);
    }
  }

  // The two maps of drive records a diff walks: the fresh ones, and the current ones.
  Vesk::DriveMap& Working() { return UpdatedDrives(); }
  Vesk::DriveMap& Current() { return GetInstance().GetDrives(); }
};

// The facade set up with `drives` managed drives, the working records released again.
void SetUp(StagedFacade& facade, vesk::sim::Machine& machine, std::uint32_t drives) {
  facade.Stage(drives, 0);
  facade.SynchronizeStorageData();
  facade.ClearUpdatesData();
  machine.ClearDebugOutput();
}

void Synchronize(benchmark::State& state, std::uint32_t changeEvery) {
  const auto drives = static_cast<std::uint32_t>(state.range(0));
  vesk::sim::Machine machine;
  StagedFacade facade;
  const std::size_t heapBefore = mallinfo2().uordblks;
  SetUp(facade, machine, drives);
  state.counters["heap_per_drive_B"] =
      static_cast<double>(mallinfo2().uordblks - heapBefore) / drives;

  std::size_t notifications = 0;
  for (auto& [id, drive] : facade.Drives().Snapshot()) {
    drive->PropertyChanged.Subscribe(
        [&](const VESK_Managed::System::Object&,
            const VESK_Managed::System::ComponentModel::PropertyChangedEventArgs&) {
          ++notifications;
        });
  }
  std::uint32_t round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // Alternate between two states so that every round has the same 1% to change.
    facade.Stage(drives, round++ % 2 == 0 ? changeEvery : 0);
    notifications = 0;
    state.ResumeTiming();
    facade.SynchronizeStorageData();
    state.PauseTiming();
    facade.ClearUpdatesData();
    state.counters["notifications"] = static_cast<double>(notifications);
    state.ResumeTiming();
  }
}

// The floor of an unchanged diff: the same two maps, laid out in memory as the facade's, walked
// together and every pair of records compared, and nothing else.
void MapWalkFloor(benchmark::State& state) {
  const auto drives = static_cast<std::uint32_t>(state.range(0));
  vesk::sim::Machine machine;
  StagedFacade facade;
  SetUp(facade, machine, drives);
  for (auto _ : state) {
    state.PauseTiming();
    facade.Stage(drives, 0);
    state.ResumeTiming();
    std::size_t same = 0;
    auto u = facade.Working().begin();
    auto c = facade.Current().begin();
    while (u != facade.Working().end() && c != facade.Current().end()) {
      if (u->first < c->first) {
        ++u;
      } else if (c->first < u->first) {
        ++c;
      } else {
        same += std::memcmp(u->second, c->second, sizeof(Vesk::Drive)) == 0 ? 1 : 0;
        ++u;
        ++c;
      }
    }
    benchmark::DoNotOptimize(same);
    state.PauseTiming();
    facade.ClearUpdatesData();
    state.ResumeTiming();
  }
}

void OnePercentChanged(benchmark::State& state) { Synchronize(state, 100); }
void Unchanged(benchmark::State& state) { Synchronize(state, 0); }

BENCHMARK(OnePercentChanged)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(Unchanged)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(MapWalkFloor)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
