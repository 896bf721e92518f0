// A time limit for tests whose only way to fail is to never return: a wait for workers, a lock,
// a join. Without one such a test sits until the ctest time-out and then says nothing of what it
// was waiting for.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace Vesk::test {

// Watches the scope it is declared in. If the scope has not ended `seconds` after construction,
// prints the test's name and what it was waiting for, and aborts the test program. Declare it
// first, so that it outlives everything in the scope that might hang.
class Watchdog {
 public:
  explicit Watchdog(const char* what, int seconds = 10) {
    thread = std::thread([this, what, seconds] {
      std::unique_lock<std::mutex> guard(lock);
      if (changed.wait_for(guard, std::chrono::seconds(seconds), [this] { return finished; })) {
        return;
      }
      const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
      std::fprintf(stderr, "\n[ WATCHDOG ] %s.%s: %s did not finish within %d s\n",
                   test != nullptr ? test->test_suite_name() : "?",
                   test != nullptr ? test->name() : "?", what, seconds);
      std::fflush(stderr);
      std::abort();
    });
  }

  ~Watchdog() {
    {
      std::lock_guard<std::mutex> guard(lock);
      finished = true;
    }
    changed.notify_all();
    thread.join();
  }

  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex lock;
  std::condition_variable changed;
  bool finished = false;
  std::thread thread;
};

}  // namespace Vesk::test
