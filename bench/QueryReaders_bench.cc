// Reading a whole-controller drive answer (the largest answer the library reads) against a plain
// copy of the same bytes. The answer is full: 507 drives of 258 bytes at API index 3, 784 of 167
// bytes at index 0 (and the most that fit for indexes 1 and 2). "per_drive" is time per drive.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/QueryReaders.h"

namespace {

using namespace Vesk;

std::size_t FullCount(std::uint32_t api) {
  return (kDriveListLength - kListEntriesOffset) / kDriveInfoSize[api];
}

// A 131072-byte answer holding FullCount(api) drives; SATA and NVMe drives alternate so that both
// widening paths run.
std::vector<std::uint8_t> FullDriveAnswer(std::uint32_t api) {
  std::vector<std::uint8_t> answer(kDriveListLength, 0);
  const std::size_t count = FullCount(api), size = kDriveInfoSize[api];
  answer[32] = static_cast<std::uint8_t>(count);
  answer[33] = static_cast<std::uint8_t>(count >> 8);
  const std::size_t typeOffset = api == 0 ? 135 : 137;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* entry = answer.data() + kListEntriesOffset + i * size;
    for (std::size_t b = 0; b < size; ++b) entry[b] = static_cast<std::uint8_t>(i + b * 13);
    entry[typeOffset] = (i % 2) ? 3 : 1;
  }
  return answer;
}

void SetCounters(benchmark::State& state, std::size_t drives, std::size_t bytes) {
  state.counters["drives"] = static_cast<double>(drives);
  state.counters["per_drive"] = benchmark::Counter(
      static_cast<double>(drives),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_ReadDriveList(benchmark::State& state) {
  const auto api = static_cast<std::uint32_t>(state.range(0));
  const std::vector<std::uint8_t> answer = FullDriveAnswer(api);
  for (auto _ : state) {
    auto drives = ReadDriveList(answer.data(), answer.size(), api);
    benchmark::DoNotOptimize(drives.data());
    benchmark::ClobberMemory();
  }
  SetCounters(state, FullCount(api), kListEntriesOffset + FullCount(api) * kDriveInfoSize[api]);
}

void BM_MemcpyDriveAnswer(benchmark::State& state) {
  const auto api = static_cast<std::uint32_t>(state.range(0));
  const std::vector<std::uint8_t> answer = FullDriveAnswer(api);
  const std::size_t bytes = kListEntriesOffset + FullCount(api) * kDriveInfoSize[api];
  std::vector<std::uint8_t> copy(bytes);
  for (auto _ : state) {
    std::memcpy(copy.data(), answer.data(), bytes);
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  SetCounters(state, FullCount(api), bytes);
}

BENCHMARK(BM_ReadDriveList)->DenseRange(0, 3);
BENCHMARK(BM_MemcpyDriveAnswer)->DenseRange(0, 3);

}  // namespace

BENCHMARK_MAIN();
