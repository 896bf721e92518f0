// Cost of the device lock around one request: an uncontended Invoke (wait for the named mutex and
// the exit event, one DeviceIoControl to a backend that answers at once, release) beside a bare
// pthread mutex lock/unlock pair and beside the device call alone.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <memory>
#include <vector>

#include "device/DeviceHandle.h"
#include "device/Ioctl.h"
#include "simulator/Machine.h"

namespace {

class ImmediateBackend : public vesk::sim::DeviceBackend {
 public:
  vesk::sim::IoResult Control(const vesk::sim::IoControl& call) override {
    return {true, call.outSize, ERROR_SUCCESS};
  }
};

class Request : public Vesk::SynchronousIoctl {
 public:
  explicit Request(Vesk::DeviceHandle* device) : SynchronousIoctl(device, 64), buffer(64) {
    inBuffer = buffer.data();
    outBuffer = buffer.data();
  }
  std::vector<BYTE> buffer;
};

struct Fixture {
  Fixture() {
    vesk::sim::DeviceSpec description;
    description.pdoName = L"\\Device\\VeskLockBench";
    description.backend = std::make_shared<ImmediateBackend>();
    machine.AddDevice(std::move(description));
    HANDLE file = CreateFile2(L"\\\\?\\Global\\GlobalRoot\\Device\\VeskLockBench",
                              GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              OPEN_EXISTING, nullptr);
    handle = std::make_shared<Vesk::VeskControllerHandle>(
        file, std::make_unique<Vesk::Device>(L"\\\\?\\Global\\GlobalRoot\\Device\\VeskLockBench"));
  }
  vesk::sim::Machine machine;
  std::shared_ptr<Vesk::VeskControllerHandle> handle;
};

void BM_Invoke(benchmark::State& state) {
  Fixture fixture;
  Request request(fixture.handle.get());
  for (auto _ : state) benchmark::DoNotOptimize(request.Invoke());
}
BENCHMARK(BM_Invoke);

void BM_SendOnly(benchmark::State& state) {
  Fixture fixture;
  Request request(fixture.handle.get());
  for (auto _ : state) benchmark::DoNotOptimize(request.Send());
}
BENCHMARK(BM_SendOnly);

void BM_LockUnlockOnly(benchmark::State& state) {
  Fixture fixture;
  Request request(fixture.handle.get());
  for (auto _ : state) {
    request.Lock();
    request.Unlock();
  }
}
BENCHMARK(BM_LockUnlockOnly);

void BM_PthreadMutexPair(benchmark::State& state) {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  for (auto _ : state) {
    pthread_mutex_lock(&mutex);
    benchmark::ClobberMemory();
    pthread_mutex_unlock(&mutex);
  }
  pthread_mutex_destroy(&mutex);
}
BENCHMARK(BM_PthreadMutexPair);

}  // namespace

BENCHMARK_MAIN();
