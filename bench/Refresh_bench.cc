// Cost of a full refresh of the large topology (600 NVMe drives behind one controller, read one
// at a time, and a small SATA controller): SetControllers, then the arrays, volumes and drives of
// every controller, as a client does it.
//
// The floor is the same requests, byte for byte and with the same buffer sizes, sent through the
// same devices under the same named mutexes, with nothing built from the answers and no
// discovery. BM_FullRefresh reports the requests of one refresh, the time of one refresh against
// that floor (one floor pass beside each refresh, not counted in the refresh's time), and the peak
// heap a refresh takes beyond what was allocated before it.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "device/DeviceBuilder.h"
#include "device/Ioctl.h"
#include "simulator/Machine.h"
#include "simulator/RaidDriver.h"
#include "vesk/StorageManagement.h"

// Heap accounting for the whole program: current and peak bytes in use.
namespace {
std::atomic<std::size_t> heapInUse{0};
std::atomic<std::size_t> heapPeak{0};
// Off while refreshes are timed: the accounting costs per allocation, and a refresh allocates
// more often than the floor, so it would be charged to the library.
std::atomic<bool> accounting{true};

void* Allocate(std::size_t size) {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  if (!accounting.load(std::memory_order_relaxed)) return memory;
  const std::size_t now = heapInUse += malloc_usable_size(memory);
  std::size_t peak = heapPeak.load();
  while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
  }
  return memory;
}

void Release(void* memory) {
  if (memory == nullptr) return;
  if (accounting.load(std::memory_order_relaxed)) heapInUse -= malloc_usable_size(memory);
  std::free(memory);
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* memory) noexcept { Release(memory); }
void operator delete[](void* memory) noexcept { Release(memory); }
void operator delete(void* memory, std::size_t) noexcept { Release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { Release(memory); }

namespace {

using namespace Vesk;

struct Sent {
  std::wstring pdoName;
  std::vector<BYTE> bytes;
};

// Counts the requests that reach the driver and, while recording, keeps them.
class CountingBackend : public vesk::sim::DeviceBackend {
 public:
  explicit CountingBackend(std::shared_ptr<vesk::sim::RaidDriver> driver)
      : driver(std::move(driver)) {}
  vesk::sim::IoResult Control(const vesk::sim::IoControl& call) override {
    ++count;
    if (recording) {
      std::lock_guard guard(lock);
      sent.push_back({call.pdoName, std::vector<BYTE>(call.in, call.in + call.inSize)});
    }
    return driver->Control(call);
  }
  std::shared_ptr<vesk::sim::RaidDriver> driver;
  std::atomic<std::size_t> count{0};
  std::atomic<bool> recording{false};
  std::mutex lock;
  std::vector<Sent> sent;
};

// One request as the executors send it, with a buffer of its own and no reading of the answer.
class RawRequest : public SynchronousIoctl {
 public:
  RawRequest(DeviceHandle* device, const std::vector<BYTE>& bytes)
      : SynchronousIoctl(device, static_cast<DWORD>(bytes.size())), buffer(bytes) {
    inBuffer = buffer.data();
    outBuffer = buffer.data();
  }
  std::vector<BYTE> buffer;
};

void Refresh(StorageManagement& management) {
  ClearMap(management.GetArrays(), management.GetVolumes(), management.GetDrives());
  management.SetControllers();
  for (auto& [id, controller] : management.GetControllers().GetControllersById()) {
    management.SetArrays(*controller, management.GetArrays());
    management.SetVolumes(*controller, management.GetVolumes());
    management.SetDrives(*controller, management.GetDrives());
  }
}

struct Fixture {
  Fixture()
      : driver(vesk::sim::RaidDriver::FromFile(std::string(VESK_TOPOLOGY_DIR) + "/large.json")),
        backend(std::make_shared<CountingBackend>(driver)) {
    ControllerDeviceBuilder::IdentifierQueue().clear();
    for (const auto& controller : driver->Snapshot().controllers) {
      vesk::sim::DeviceSpec description;
      description.manufacturer = L"Korva Corporation";
      description.service = controller.service;
      description.pdoName = controller.pdoName;
      description.backend = backend;
      machine.AddDevice(std::move(description));
    }
    machine.WaitForNotifications();
    // The requests of one refresh, and the devices to replay them through.
    backend->recording = true;
    StorageManagement management;
    Refresh(management);
    backend->recording = false;
    ControllerDeviceBuilder builder;
    builder.Enumerate(devices);
    for (const auto& device : devices) {
      for (const auto& sent : backend->sent) {
        if (device->device->path.ends_with(sent.pdoName)) byPdo[sent.pdoName] = device.get();
      }
    }
  }

  // Sends every recorded request once; returns the requests sent.
  std::size_t ReplayOnce() {
    for (const Sent& sent : backend->sent) {
      RawRequest request(byPdo.at(sent.pdoName), sent.bytes);
      benchmark::DoNotOptimize(request.Invoke());
    }
    return backend->sent.size();
  }

  vesk::sim::Machine machine;
  std::shared_ptr<vesk::sim::RaidDriver> driver;
  std::shared_ptr<CountingBackend> backend;
  DeviceHandles devices;
  std::map<std::wstring, DeviceHandle*> byPdo;
};

double MicrosecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

void BM_BareFloor(benchmark::State& state) {
  Fixture fixture;
  std::size_t requests = 0;
  for (auto _ : state) requests = fixture.ReplayOnce();
  state.counters["requests"] = static_cast<double>(requests);
}
BENCHMARK(BM_BareFloor)->Unit(benchmark::kMicrosecond);

void BM_FullRefresh(benchmark::State& state) {
  Fixture fixture;
  StorageManagement management;
  Refresh(management);  // warm: the controller records now exist and are kept
  std::size_t requests = 0;
  double refreshUs = 0;
  double floorUs = 0;
  std::int64_t refreshes = 0;
  accounting = false;
  for (auto _ : state) {
    // A floor pass beside every refresh, so that both see the same load of the machine.
    state.PauseTiming();
    const auto floorStart = std::chrono::steady_clock::now();
    fixture.ReplayOnce();
    floorUs += MicrosecondsSince(floorStart);
    const std::size_t before = fixture.backend->count;
    ClearMap(management.GetArrays(), management.GetVolumes(), management.GetDrives());
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    Refresh(management);
    refreshUs += MicrosecondsSince(start);
    requests = fixture.backend->count - before;
    ++refreshes;
  }
  // The peak heap, from one more refresh with the accounting on. Memory allocated while it was off
  // and released during this refresh lowers the count, so the peak may read a little low, never
  // high.
  ClearMap(management.GetArrays(), management.GetVolumes(), management.GetDrives());
  accounting = true;
  const std::size_t baseline = heapInUse.load();
  heapPeak = baseline;
  Refresh(management);
  const std::size_t peak = heapPeak.load() - baseline;
  state.counters["requests"] = static_cast<double>(requests);
  state.counters["floor_us"] = floorUs / static_cast<double>(refreshes);
  state.counters["ratio_to_floor"] = refreshUs / floorUs;
  state.counters["peak_heap_KiB"] = static_cast<double>(peak) / 1024.0;
}
BENCHMARK(BM_FullRefresh)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
