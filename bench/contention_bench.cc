// Two processes hammering one device through the library: requests per second of both together,
// and a check that the named mutex never let two requests be in flight at once. The backend of
// each process marks its calls in a shared-memory counter; any overlap is counted.
//
// The second process is this program re-run with VESK_BENCH_PEER set; it sends requests until
// the first one tells it to stop.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/DeviceHandle.h"
#include "device/Ioctl.h"
#include "simulator/Machine.h"

extern char** environ;

namespace {

struct Shared {
  std::atomic<int> inFlight;
  std::atomic<long long> overlaps;
  std::atomic<long long> peerRequests;
  std::atomic<bool> peerReady;
  std::atomic<bool> stop;
};

Shared* MapShared(const std::string& name, bool create) {
  const int fd = shm_open(name.c_str(), create ? O_CREAT | O_RDWR | O_EXCL : O_RDWR, 0600);
  if (fd < 0) return nullptr;
  if (create && ftruncate(fd, sizeof(Shared)) != 0) return nullptr;
  void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (memory == MAP_FAILED) return nullptr;
  return create ? new (memory) Shared{} : static_cast<Shared*>(memory);
}

// Marks each call in flight; a second call entering while one is marked is an overlap.
class OverlapBackend : public vesk::sim::DeviceBackend {
 public:
  explicit OverlapBackend(Shared* shared) : shared(shared) {}
  vesk::sim::IoResult Control(const vesk::sim::IoControl& call) override {
    if (shared->inFlight.fetch_add(1) != 0) ++shared->overlaps;
    for (int spin = 0; spin < 200; ++spin) benchmark::ClobberMemory();
    shared->inFlight.fetch_sub(1);
    return {true, call.outSize, ERROR_SUCCESS};
  }

 private:
  Shared* shared;
};

class Request : public Vesk::SynchronousIoctl {
 public:
  explicit Request(Vesk::DeviceHandle* device) : SynchronousIoctl(device, 64), buffer(64) {
    inBuffer = buffer.data();
    outBuffer = buffer.data();
  }
  std::vector<BYTE> buffer;
};

struct Device {
  Device(const std::wstring& pdoName, Shared* shared) {
    vesk::sim::DeviceSpec description;
    description.pdoName = pdoName;
    description.backend = std::make_shared<OverlapBackend>(shared);
    machine.AddDevice(std::move(description));
    const std::wstring path = L"\\\\?\\Global\\GlobalRoot" + pdoName;
    HANDLE file = CreateFile2(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, nullptr);
    handle = std::make_shared<Vesk::VeskControllerHandle>(
        file, std::make_unique<Vesk::Device>(std::wstring(path)));
  }
  vesk::sim::Machine machine;
  std::shared_ptr<Vesk::VeskControllerHandle> handle;
};

std::wstring PdoName() { return L"\\Device\\VeskContention" + std::to_wstring(getpid()); }

int RunPeer(const char* shmName, const char* pdo) {
  Shared* shared = MapShared(shmName, false);
  if (shared == nullptr) return 1;
  Device device(std::wstring(pdo, pdo + std::strlen(pdo)), shared);
  Request request(device.handle.get());
  shared->peerReady = true;
  while (!shared->stop) {
    if (request.Invoke()) ++shared->peerRequests;
  }
  return 0;
}

void BM_TwoProcessesOneDevice(benchmark::State& state) {
  const std::string shmName = "/vesk_contention_" + std::to_string(getpid());
  shm_unlink(shmName.c_str());
  Shared* shared = MapShared(shmName, true);
  if (shared == nullptr) {
    state.SkipWithError("no shared memory");
    return;
  }
  const std::wstring pdoName = PdoName();
  Device device(pdoName, shared);

  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  environment.push_back("VESK_BENCH_PEER=" + shmName);
  environment.push_back("VESK_BENCH_PDO=" + std::string(pdoName.begin(), pdoName.end()));
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = "/proc/self/exe";
  char* argv[] = {program.data(), nullptr};
  pid_t peer = -1;
  if (posix_spawn(&peer, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) {
    state.SkipWithError("cannot start the second process");
    return;
  }
  while (!shared->peerReady) usleep(1000);

  Request request(device.handle.get());
  const long long peerBefore = shared->peerRequests;
  long long own = 0;
  for (auto _ : state) own += request.Invoke() != 0;
  const long long peerRequests = shared->peerRequests - peerBefore;

  shared->stop = true;
  int status = 0;
  waitpid(peer, &status, 0);

  state.counters["own_req_per_s"] =
      benchmark::Counter(static_cast<double>(own), benchmark::Counter::kIsRate);
  state.counters["both_req_per_s"] =
      benchmark::Counter(static_cast<double>(own + peerRequests), benchmark::Counter::kIsRate);
  state.counters["overlaps"] = static_cast<double>(shared->overlaps.load());
  munmap(shared, sizeof(Shared));
  shm_unlink(shmName.c_str());
}
BENCHMARK(BM_TwoProcessesOneDevice)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  if (const char* shmName = std::getenv("VESK_BENCH_PEER")) {
    return RunPeer(shmName, std::getenv("VESK_BENCH_PDO"));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
