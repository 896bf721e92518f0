// The journal (veskctl's record of events, commands and outcomes):
//
// - Append/N: N records appended in one go, each append under the journal's lock and flushed to
//   disk; counter records/s.
// - SinceOnAMillion/*: a journal of 1,000,000 records (about 330 bytes each, as a monitor's
//   events are), what `events --since` costs before it prints: finding where the records start
//   (by identifier, or by time) and reading the 100 records after it; and listing all of them.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tools/veskctl/journal/Journal.h"

namespace {

namespace fs = std::filesystem;
using veskctl::Journal;

constexpr std::uint64_t kMillion = 1000000;

fs::path Folder(const char* name) {
  const fs::path folder =
      fs::temp_directory_path() / (std::string(name) + "-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  return folder;
}

nlohmann::json Event(std::uint64_t i) {
  return {
      {"schemaVersion", 1},
      {"kind", "changed"},
      {"element",
       {{"kind", "drive"}, {"id", "5f1c2a9e-3b4d-4e6f-8a7b-0c1d2e3f4a5b"}, {"name", "NVME-X0"}}},
      {"property", "State"},
      {"old", 2},
      {"oldName", "Online"},
      {"new", 4},
      {"newName", "Failed"},
      {"detail", "tick " + std::to_string(i)}};
}

void Append(benchmark::State& state) {
  const fs::path folder = Folder("journal-append");
  const Journal journal(folder / "state.json.journal");
  std::uint64_t i = 0;
  for (auto _ : state) {
    std::vector<nlohmann::json> records;
    for (int n = 0; n < state.range(0); ++n) records.push_back(Event(++i));
    benchmark::DoNotOptimize(journal.Append(std::move(records)));
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(i), benchmark::Counter::kIsRate);
  fs::remove_all(folder);
}
BENCHMARK(Append)->Arg(1)->Arg(100)->UseRealTime();

// Written directly: a million appends would take the benchmark's whole budget. With `damaged`,
// every thousandth record's line is damaged: cut in half, or replaced by bytes that are no record.
fs::path WriteMillion(bool damaged) {
  const fs::path file =
      Folder(damaged ? "journal-damaged-million" : "journal-million") / "state.json.journal";
  std::ofstream out(file, std::ios::binary);
  out << R"({"firstId":1,"format":"veskctl-journal","formatVersion":1})"
      << "\n";
  for (std::uint64_t i = 1; i <= kMillion; ++i) {
    auto record = Event(i);
    record["id"] = i;
    // One record per second from 2026-01-01 on.
    const std::uint64_t s = i;
    char time[32];
    std::snprintf(time, sizeof time, "2026-01-%02lluT%02llu:%02llu:%02llu.000Z",
                  static_cast<unsigned long long>(1 + s / 86400),
                  static_cast<unsigned long long>(s / 3600 % 24),
                  static_cast<unsigned long long>(s / 60 % 60),
                  static_cast<unsigned long long>(s % 60));
    record["time"] = time;
    std::string line = record.dump();
    if (damaged && i % 1000 == 500) line = line.substr(0, line.size() / 2);
    if (damaged && i % 1000 == 0) line = std::string(line.size(), '\x01');
    out << line << "\n";
  }
  return file;
}

const fs::path& Million() {
  static const fs::path path = WriteMillion(false);
  return path;
}

const fs::path& DamagedMillion() {
  static const fs::path path = WriteMillion(true);
  return path;
}

void SinceIdentifier(benchmark::State& state) {
  const Journal journal(Million(), UINT64_MAX);
  for (auto _ : state) {
    const auto slice = journal.After(kMillion - 100);
    if (slice.records.size() != 100) state.SkipWithError("wrong records");
  }
  state.counters["bytes"] = static_cast<double>(fs::file_size(Million()));
}
BENCHMARK(SinceIdentifier)->Name("SinceOnAMillion/Identifier")->Unit(benchmark::kMicrosecond);

void SinceTime(benchmark::State& state) {
  const Journal journal(Million(), UINT64_MAX);
  // 100 s before the last record's time.
  const std::int64_t at = *veskctl::ParseEventTime("2026-01-01T00:00:00.000Z") +
                          static_cast<std::int64_t>(kMillion - 99) * 1000;
  for (auto _ : state) {
    const auto slice = journal.After(journal.LastBefore(at));
    if (slice.records.size() != 100) state.SkipWithError("wrong records");
  }
}
BENCHMARK(SinceTime)->Name("SinceOnAMillion/Time")->Unit(benchmark::kMicrosecond);

void DamagedSinceIdentifier(benchmark::State& state) {
  const Journal journal(DamagedMillion(), UINT64_MAX);
  std::uint64_t damaged = 0;
  for (auto _ : state) {
    // The last 100 lines hold one damaged line (at 999,999,500 is not; 1,000,000 is).
    const auto slice = journal.After(kMillion - 100);
    if (slice.records.size() != 99 || slice.damaged != 1) state.SkipWithError("wrong records");
    damaged += slice.damaged;
  }
  benchmark::DoNotOptimize(damaged);
}
BENCHMARK(DamagedSinceIdentifier)
    ->Name("SinceOnADamagedMillion/Identifier")
    ->Unit(benchmark::kMicrosecond);

void DamagedSinceTime(benchmark::State& state) {
  const Journal journal(DamagedMillion(), UINT64_MAX);
  const std::int64_t at = *veskctl::ParseEventTime("2026-01-01T00:00:00.000Z") +
                          static_cast<std::int64_t>(kMillion - 599) * 1000;
  for (auto _ : state) {
    // 600 records after, two of their lines damaged.
    const auto slice = journal.After(journal.LastBefore(at));
    if (slice.records.size() != 598 || slice.damaged != 2) state.SkipWithError("wrong records");
  }
}
BENCHMARK(DamagedSinceTime)->Name("SinceOnADamagedMillion/Time")->Unit(benchmark::kMicrosecond);

void DamagedAll(benchmark::State& state) {
  const Journal journal(DamagedMillion(), UINT64_MAX);
  for (auto _ : state) {
    std::uint64_t records = 0, damaged = 0;
    for (std::uint64_t after = 0;;) {
      const auto page = journal.After(after, 4096);
      records += page.records.size();
      damaged += page.damaged;
      if (page.records.size() < 4096) break;  // as `events` pages: the last page was read
      after = page.records.back()["id"].get<std::uint64_t>();
    }
    if (records != kMillion - 2000 || damaged != 2000)
      state.SkipWithError(("records skipped: " + std::to_string(records) + " records, " +
                           std::to_string(damaged) + " damaged")
                              .c_str());
    state.counters["damaged"] = static_cast<double>(damaged);
  }
}
BENCHMARK(DamagedAll)
    ->Name("SinceOnADamagedMillion/EveryRecord")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

void All(benchmark::State& state) {
  const Journal journal(Million(), UINT64_MAX);
  for (auto _ : state) {
    // A page at a time, as `events` reads.
    std::size_t length = 0;
    for (std::uint64_t after = 0;;) {
      const auto page = journal.After(after, 4096);
      for (const auto& record : page.records) length += veskctl::RecordText(record).size();
      if (page.records.empty()) break;
      after = page.records.back()["id"].get<std::uint64_t>();
    }
    if (length == 0) state.SkipWithError("no records");
    benchmark::DoNotOptimize(length);
  }
}
BENCHMARK(All)
    ->Name("SinceOnAMillion/EveryRecordAsText")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
