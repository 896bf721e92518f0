// Shared pieces of the device tests: scripted device backends, opening a simulated controller
// device, and threads and a second process that hold a device's named mutex.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>
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
#include "tests/platform/OtherProcess.h"
#include "tests/platform/PlatformTestSupport.h"
#include "vesk/Exceptions.h"

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

  // Waits until a call has entered the backend; false after five seconds.
  bool WaitEntered() {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [this] { return entered > 0; });
  }

  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
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

// A thread that takes a mutex and holds it until destroyed.
class MutexHolder {
 public:
  explicit MutexHolder(HANDLE mutex)
      : thread([this, mutex] {
          taken.set_value(WaitForSingleObject(mutex, 5000) == WAIT_OBJECT_0);
          letGo.get_future().wait();
          ReleaseMutex(mutex);
        }) {
    owned.wait();
  }
  ~MutexHolder() {
    letGo.set_value();
    thread.join();
  }
  bool Owned() { return owned.get(); }

 private:
  std::promise<bool> taken;
  std::shared_future<bool> owned = taken.get_future().share();
  std::promise<void> letGo;
  std::thread thread;
};

// Takes the mutex on a thread that ends without releasing it; true if that thread owned it.
inline bool Abandon(HANDLE mutex) {
  bool owned = false;
  std::thread([&] { owned = WaitForSingleObject(mutex, 5000) == WAIT_OBJECT_0; }).join();
  return owned;
}

// Another process that takes the device's named mutex and holds it until killed.
class HolderProcess : public vesk::test::Child {
 public:
  explicit HolderProcess(const std::wstring& pdoName)
      : Child(L"hold", DeviceHandle::MutexName(DevicePath(pdoName))) {}
  // Waits until the holder owns the mutex; fails if it ended instead or took longer than 10 s.
  ::testing::AssertionResult WaitHolding() { return TookTheMutex(); }
};

// Fills the stack below the caller with garbage, so that a callee that leaves a local structure
// partly unset sees garbage there rather than a lucky zero.
[[gnu::noinline]] inline void DirtyStack() {
  volatile unsigned char junk[16384];
  for (auto& byte : junk) byte = 0xA5;
}

// Runs `action`, expecting a TaluException with this message; returns its error code.
template <typename F>
std::uint32_t ExpectTalu(F&& action, const std::string& message) {
  try {
    action();
  } catch (const TaluException& exception) {
    EXPECT_EQ(std::string(exception.Message()), message);
    return exception.ErrorCode();
  }
  ADD_FAILURE() << "no TaluException; expected \"" << message << "\"";
  return 0xDEADBEEF;
}

// Tells when a thread the test cannot join (a detached worker) has ended: Arm, called on that
// thread, sets a thread-specific value whose destructor runs after everything else the thread did.
// Not a thread-local object: under MinGW their destructors have been seen to find other values at
// a thread's end than the thread left.
class ThreadEnd {
 public:
  ThreadEnd() { pthread_key_create(&key, &Ended); }
  ~ThreadEnd() { pthread_key_delete(key); }
  ThreadEnd(const ThreadEnd&) = delete;
  ThreadEnd& operator=(const ThreadEnd&) = delete;

  void Arm() { pthread_setspecific(key, this); }
  void Wait() {
    while (!ended.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

 private:
  static void Ended(void* self) { static_cast<ThreadEnd*>(self)->ended.store(true); }

  pthread_key_t key{};
  std::atomic<bool> ended{false};
};

}  // namespace Vesk::test
