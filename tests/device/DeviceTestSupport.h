// Shared pieces of the device tests: scripted device backends, opening a simulated controller
// device, and a second process that holds a device's named mutex.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device/DeviceHandle.h"
#include "platform/win32.h"
#include "simulator/Machine.h"

namespace Vesk::test {

inline constexpr wchar_t devicePathPrefix[] = L"\\\\?\\Global\\GlobalRoot";

// Answers every call with the result of `script` (called with the 1-based call number), counting
// the calls. The default script succeeds and echoes the input size as bytes returned.
class ScriptedBackend : public vesk::sim::DeviceBackend {
 public:
  using Script = std::function<vesk::sim::IoResult(int call, const vesk::sim::IoControl&)>;

  explicit ScriptedBackend(Script script = nullptr) : script(std::move(script)) {}

  vesk::sim::IoResult Control(const vesk::sim::IoControl& call) override {
    const int number = ++calls;
    if (script) return script(number, call);
    return {true, call.inSize, ERROR_SUCCESS};
  }

  std::atomic<int> calls{0};

 private:
  Script script;
};

// A backend whose calls block until Release, so a test can act while a request is in flight.
class BlockingBackend : public vesk::sim::DeviceBackend {
 public:
  vesk::sim::IoResult Control(const vesk::sim::IoControl& call) override {
    std::unique_lock<std::mutex> lock(mutex);
    ++entered;
    changed.notify_all();
    changed.wait(lock, [this] { return released; });
    if (call.out != nullptr && call.outSize > 0) call.out[0] = 0x5A;
    return {true, call.outSize, ERROR_SUCCESS};
  }

  // Waits until `count` calls have entered the backend; false after five seconds.
  bool WaitEntered(int count = 1) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return entered >= count; });
  }

  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
  }

  int Entered() {
    std::lock_guard<std::mutex> lock(mutex);
    return entered;
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  int entered = 0;
  bool released = false;
};

inline std::wstring DevicePath(const std::wstring& pdoName) { return devicePathPrefix + pdoName; }

// Named mutexes are machine-wide and ctest runs test programs in parallel: every test uses a
// device name of its own.
inline std::wstring UniquePdoName() {
  static std::atomic<int> next{0};
  return L"\\Device\\Vesk" + std::to_wstring(getpid()) + L"_" + std::to_wstring(++next);
}

// Adds a RAID controller device with this PDO name and backend to the machine.
inline vesk::sim::DeviceId AddController(vesk::sim::Machine& machine, const std::wstring& pdoName,
                                         std::shared_ptr<vesk::sim::DeviceBackend> backend) {
  vesk::sim::DeviceSpec description;
  description.manufacturer = L"Korva";
  description.service = L"korvatalu";
  description.pdoName = pdoName;
  description.backend = std::move(backend);
  return machine.AddDevice(std::move(description));
}

inline HANDLE OpenDevice(const std::wstring& pdoName) {
  return CreateFile2(DevicePath(pdoName).c_str(), GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, nullptr);
}

// Opens the device and wraps it the way discovery does.
inline std::shared_ptr<VeskControllerHandle> OpenController(const std::wstring& pdoName) {
  HANDLE file = OpenDevice(pdoName);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  return std::make_shared<VeskControllerHandle>(file,
                                                std::make_unique<Device>(DevicePath(pdoName)));
}

// A thread that takes a mutex and holds it until told to let go, or ends without releasing it
// (which abandons the mutex).
class MutexHolder {
 public:
  enum class End { Release, Abandon };

  MutexHolder(HANDLE mutex, End end) {
    thread = std::thread([this, mutex, end] {
      const DWORD result = WaitForSingleObject(mutex, 5000);
      {
        std::lock_guard<std::mutex> lock(stateLock);
        owned = result == WAIT_OBJECT_0;
        started = true;
        changed.notify_all();
      }
      if (end == End::Abandon) return;
      {
        std::unique_lock<std::mutex> lock(stateLock);
        changed.wait(lock, [this] { return letGo; });
      }
      ReleaseMutex(mutex);
    });
    {
      std::unique_lock<std::mutex> lock(stateLock);
      changed.wait(lock, [this] { return started; });
    }
    if (end == End::Abandon) thread.join();
  }

  ~MutexHolder() {
    LetGo();
    if (thread.joinable()) thread.join();
  }

  bool Owned() {
    std::lock_guard<std::mutex> lock(stateLock);
    return owned;
  }

  void LetGo() {
    std::lock_guard<std::mutex> lock(stateLock);
    letGo = true;
    changed.notify_all();
  }

 private:
  std::mutex stateLock;
  std::condition_variable changed;
  bool started = false;
  bool owned = false;
  bool letGo = false;
  std::thread thread;
};

// A second process (this test program, re-run with only HolderProcess.Run) that opens a handle
// for the same device path, takes the device's named mutex, reports that it holds it, and keeps
// it for `holdMs` milliseconds (or until killed) before releasing it and exiting.
class HolderProcess {
 public:
  HolderProcess(const std::wstring& pdoName, int holdMs);
  ~HolderProcess();  // kills the process if it still runs

  // Waits until the holder owns the mutex; false if it failed or took longer than 10 s.
  bool WaitHolding();
  // Kills the holder while it holds the mutex, and reaps it.
  void Kill();

 private:
  int pid = -1;
  int readFd = -1;
};

// Tells when a thread the test cannot join (a detached worker) has ended: Arm, called on that
// thread, leaves a thread-local object whose destructor runs after everything else the thread did.
class ThreadEnd {
 public:
  void Arm() {
    thread_local Signal signal;
    signal.target = this;
  }
  void Wait() { ended.wait(); }

 private:
  struct Signal {
    ThreadEnd* target = nullptr;
    ~Signal() {
      if (target != nullptr) target->end.set_value();
    }
  };
  std::promise<void> end;
  std::future<void> ended = end.get_future();
};

// Elapsed wall time of `action` in milliseconds.
template <typename F>
long long MillisecondsOf(F&& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace Vesk::test
