#include "device/Ioctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DeviceTestSupport.h"
#include "protocol/IoCommunication.h"
#include "protocol/Requests.h"
#include "tests/Watchdog.h"
#include "vesk/Exceptions.h"

namespace Vesk::test {
namespace {

using vesk::sim::IoControl;
using vesk::sim::IoResult;

constexpr char exitMessage[] = "Mutex wait for device was signaled to exit.";
constexpr char abandonedMessage[] = "Mutex wait for device failed. Device handle is invalid.";

// A request over its own buffer, the way the protocol's request classes use the executors.
template <typename Executor>
class Request : public Executor {
 public:
  explicit Request(DeviceHandle* device, DWORD size = 64) : Executor(device, size), buffer(size) {
    this->inBuffer = buffer.data();
    this->outBuffer = buffer.data();
  }
  ~Request() override { this->WaitForCompletion(); }

  DWORD BytesReturned() const { return this->bytesReturned; }

  std::vector<BYTE> buffer;
};
using SyncRequest = Request<SynchronousIoctl>;
using AsyncRequest = Request<AsynchronousIoctl>;

// True when another thread can take the mutex right now (and gives it back).
bool MutexIsFree(HANDLE mutex) {
  DWORD result = WAIT_FAILED;
  std::thread([&] {
    result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(mutex);
  }).join();
  return result == WAIT_OBJECT_0;
}

class IoctlTest : public ::testing::Test {
 protected:
  void Open(std::shared_ptr<vesk::sim::DeviceBackend> deviceBackend) {
    pdoName = UniquePdoName();
    id = AddController(machine, pdoName, std::move(deviceBackend));
    handle = OpenController(pdoName);
  }

  void RemoveAndSettle() {
    Watchdog watchdog("the removal reaction");
    machine.RemoveDevice(id);
    machine.WaitForNotifications();
    handle->listener.WaitForWorkers();
  }

  vesk::sim::Machine machine;
  std::wstring pdoName;
  vesk::sim::DeviceId id = 0;
  std::shared_ptr<VeskControllerHandle> handle;
};

TEST_F(IoctlTest, SendsOneCallUnderTheDeviceMutexAndReleasesIt) {
  IoControl seen;
  bool heldDuringCall = false;
  HANDLE mutex = nullptr;
  Open(std::make_shared<ScriptedBackend>([&](int, const IoControl& call) {
    seen = call;
    heldDuringCall = !MutexIsFree(mutex);
    call.out[0] = 0x42;
    return IoResult{true, 40, ERROR_SUCCESS};
  }));
  mutex = handle->mutex;
  SyncRequest request(handle.get(), 48);

  EXPECT_NE(request.Invoke(), 0);

  EXPECT_EQ(seen.controlCode, IOCTL_SCSI_MINIPORT);
  EXPECT_EQ(seen.inSize, 48u);
  EXPECT_EQ(seen.outSize, 48u);
  EXPECT_EQ(seen.pdoName, pdoName);
  EXPECT_EQ(request.BytesReturned(), 40u);
  EXPECT_EQ(request.buffer[0], 0x42);
  EXPECT_TRUE(heldDuringCall);
  EXPECT_TRUE(MutexIsFree(handle->mutex));
}

// --- framed requests: the request's own check may refuse an answer that reached the driver ---

// One device call as the backend answers it: the call's result, the thread's last error it leaves
// and the return code it writes into the request's header.
struct Reply {
  bool ok;
  DWORD error;
  std::uint32_t returnCode;
};

struct FramedCase {
  const char* name;
  DWORD errorBefore;  // the thread's last error when the request starts
  std::vector<Reply> replies;
  int calls;
  DWORD errorAfter;  // ERROR_SUCCESS exactly when the request succeeds
  std::uint32_t status;
};

void PrintTo(const FramedCase& c, std::ostream* os) { *os << c.name; }

class FramedRequest : public IoctlTest, public ::testing::WithParamInterface<FramedCase> {};

TEST_P(FramedRequest, OnlyABusyDeviceCallIsRepeatedAndTheLastErrorIsTheRequestsOwn) {
  const FramedCase& c = GetParam();
  // Call n gets replies[n - 1], the last one once they run out; answers name one identifier.
  auto backend = std::make_shared<ScriptedBackend>([&c](int call, const IoControl& io) {
    const Reply& reply = c.replies[std::min<std::size_t>(call, c.replies.size()) - 1];
    std::memcpy(io.out + 20, &reply.returnCode, 4);
    io.out[32] = 1;
    return IoResult{reply.ok, io.outSize, reply.error};
  });
  Open(backend);
  GetControllerIdentifiersIoctl<SynchronousIoctl> request(handle.get());
  SetLastError(c.errorBefore);
  const auto start = std::chrono::steady_clock::now();

  EXPECT_EQ(request.Invoke() != 0, c.errorAfter == ERROR_SUCCESS);
  // A busy driver is asked again 100 ms later.
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(100) * (c.calls - 1));
  EXPECT_EQ(GetLastError(), c.errorAfter);
  EXPECT_EQ(backend->calls, c.calls);
  EXPECT_EQ(static_cast<std::uint32_t>(request.Status()), c.status);
  EXPECT_TRUE(MutexIsFree(handle->mutex));
}

constexpr std::uint32_t kNotAStatus = 0x10000;
constexpr Reply kAnswered{true, 0, 0}, kBusy{false, ERROR_BUSY, 0}, kRefused{true, 0, kNotAStatus};
constexpr Reply kAnsweredSettingBusy{true, ERROR_BUSY, 7},
    kRefusedSettingBusy{true, ERROR_BUSY, kNotAStatus}, kFailed{false, ERROR_IO_DEVICE, 0};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, FramedRequest,
    ::testing::Values(
        FramedCase{"RefusedAfterStaleBusy", ERROR_BUSY, {kRefused}, 1, ERROR_INVALID_DATA, 5},
        FramedCase{
            "RefusedByADriverSettingBusy", 0, {kRefusedSettingBusy}, 1, ERROR_INVALID_DATA, 5},
        FramedCase{"AnsweredAfterStaleBusy", ERROR_BUSY, {kAnswered}, 1, ERROR_SUCCESS, 0},
        FramedCase{"AnsweredByADriverSettingBusy", 0, {kAnsweredSettingBusy}, 1, ERROR_SUCCESS, 7},
        FramedCase{"BusyOnceThenAnswered", 0, {kBusy, kAnswered}, 2, ERROR_SUCCESS, 0},
        FramedCase{"BusyOnceThenRefused", 0, {kBusy, kRefused}, 2, ERROR_INVALID_DATA, 5},
        FramedCase{"FailedAfterStaleBusy", ERROR_BUSY, {kFailed}, 1, ERROR_IO_DEVICE, 0}),
    [](const ::testing::TestParamInfo<FramedCase>& info) { return info.param.name; });

// The operation table reports a refused answer as a transport failure carrying the request's own
// error, and the asynchronous executor's worker does not repeat it either.
TEST_F(IoctlTest, RefusedAnswerIsReportedOnceWithInvalidData) {
  auto backend = std::make_shared<ScriptedBackend>([](int, const IoControl& io) {
    std::memcpy(io.out + 20, &kNotAStatus, 4);
    return IoResult{true, io.outSize, ERROR_BUSY};
  });
  Open(backend);
  RequestPtr<GetControllerIdentifiersIoctl<SynchronousIoctl>> request;

  EXPECT_EQ(ExpectTalu(
                [&] {
                  IoCommunication<SynchronousIoctl>().GetControllerIdentifiers(
                      handle.get(), vesk_invalid_guid, VESK_SCOPE_NONE, 4130, request);
                },
                "Unable to retrieve controller identifiers. IOCTL was unsuccessful."),
            ERROR_INVALID_DATA);
  EXPECT_EQ(backend->calls, 1);

  GetControllerIdentifiersIoctl<AsynchronousIoctl> async(handle.get());
  EXPECT_EQ(async.Invoke(), 1);
  EXPECT_EQ(async.Result(), 0);
  EXPECT_EQ(backend->calls, 2);
}

// Waits the full 100 x 100 ms.
TEST_F(IoctlTest, SlowAlwaysBusyDriverGivesTheResultOfThe101stSend) {
  auto backend = std::make_shared<ScriptedBackend>([](int, const IoControl&) {
    return IoResult{false, 0, ERROR_BUSY};
  });
  Open(backend);
  SyncRequest request(handle.get());

  EXPECT_EQ(request.Invoke(), 0);
  EXPECT_EQ(GetLastError(), ERROR_BUSY);
  EXPECT_EQ(backend->calls, 101);
  EXPECT_TRUE(MutexIsFree(handle->mutex));
}

// --- the wait for the device ----------------------------------------------------------------

// Held by another thread, then by another process: the exit event, set during the wait, ends it.
TEST_F(IoctlTest, ExitEventSetDuringTheWaitEndsIt) {
  Watchdog watchdog("a wait the exit event should end");
  Open(std::make_shared<ScriptedBackend>());
  SyncRequest request(handle.get());
  for (const bool byProcess : {false, true}) {
    SCOPED_TRACE(byProcess ? "held by another process" : "held by another thread");
    std::optional<MutexHolder> thread;
    std::optional<HolderProcess> process;
    if (byProcess) {
      ASSERT_TRUE(process.emplace(pdoName).WaitHolding());
    } else {
      ASSERT_TRUE(thread.emplace(handle->mutex).Owned());
    }
    std::thread remover([&] {
      Sleep(100);
      SetEvent(handle->exitEvent);
    });
    ExpectTalu([&] { request.Invoke(); }, exitMessage);
    remover.join();
    ResetEvent(handle->exitEvent);
  }
}

// Abandoned by a thread, then by a killed process: the wait reports it, gives the mutex back,
// and the next request goes through.
TEST_F(IoctlTest, AbandonedMutexIsReleasedBeforeTheThrowThenUsable) {
  auto backend = std::make_shared<ScriptedBackend>();
  Open(backend);
  SyncRequest request(handle.get());
  for (const bool byProcess : {false, true}) {
    SCOPED_TRACE(byProcess ? "abandoned by a killed process" : "abandoned by a thread");
    if (byProcess) {
      HolderProcess holder(pdoName);
      ASSERT_TRUE(holder.WaitHolding());
    } else {
      ASSERT_TRUE(Abandon(handle->mutex));
    }
    const int calls = backend->calls;

    ExpectTalu([&] { request.Invoke(); }, abandonedMessage);
    EXPECT_EQ(backend->calls, calls);
    EXPECT_TRUE(MutexIsFree(handle->mutex));
    EXPECT_NE(request.Invoke(), 0);
    EXPECT_EQ(backend->calls, calls + 1);
  }
}

TEST_F(IoctlTest, AbandonedObjectInTheExitSlotIsReported) {
  // Only a mutex can be abandoned, so a test puts one where the exit event belongs while another
  // thread holds the device's own mutex.
  Open(std::make_shared<ScriptedBackend>());
  MutexHolder deviceHolder(handle->mutex);
  HANDLE stray = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_TRUE(Abandon(stray));
  HANDLE exitEvent = handle->exitEvent;
  handle->exitEvent = stray;
  SyncRequest request(handle.get());

  ExpectTalu([&] { request.Lock(); }, "Mutex wait for device failed. Exit handle is invalid.");

  handle->exitEvent = exitEvent;
  ReleaseMutex(stray);
  CloseHandle(stray);
}

// A closed mutex handle fails the wait; a request without a device fails at its lock, and its
// release does nothing.
TEST_F(IoctlTest, ClosedMutexHandleOrNoDeviceFailsTheLock) {
  Open(std::make_shared<ScriptedBackend>());
  ASSERT_TRUE(CloseHandle(handle->mutex));
  SyncRequest request(handle.get());
  EXPECT_EQ(ExpectTalu([&] { request.Invoke(); }, "Unable to release device's mutex"),
            ERROR_INVALID_HANDLE);
  handle->mutex = nullptr;

  SyncRequest orphan(nullptr);
  SetLastError(ERROR_SUCCESS);  // the code must be the lock's own
  EXPECT_EQ(
      ExpectTalu([&] { orphan.Invoke(); }, "Unable to release mutex. Device handle is invalid."),
      ERROR_INVALID_HANDLE);
  EXPECT_NO_THROW(orphan.Unlock());
}

TEST_F(IoctlTest, HandleWithoutExitEventStillSerializesOnItsMutex) {
  machine.FailCalls(vesk::sim::Api::CreateEventW, ERROR_NOT_ENOUGH_MEMORY);
  auto backend = std::make_shared<ScriptedBackend>();
  Open(backend);
  ASSERT_EQ(handle->exitEvent, nullptr);
  SyncRequest request(handle.get());

  EXPECT_NE(request.Invoke(), 0);
  EXPECT_EQ(backend->calls, 1);
  EXPECT_TRUE(MutexIsFree(handle->mutex));
}

// Waits the full 30 seconds.
TEST_F(IoctlTest, SlowMutexHeldByAnotherProcessPast30SecondsTimesOut) {
  auto backend = std::make_shared<ScriptedBackend>();
  Open(backend);
  HolderProcess holder(pdoName);
  ASSERT_TRUE(holder.WaitHolding());
  SyncRequest request(handle.get());

  ExpectTalu([&] { request.Invoke(); },
             "Mutex was not released by the thread that owned the mutex object.");
  EXPECT_EQ(backend->calls, 0);
}

// --- releasing the device -------------------------------------------------------------------

TEST_F(IoctlTest, FailedReleaseNamesTheDeviceAfterTheAnswerArrived) {
  Open(std::make_shared<ScriptedBackend>([](int, const IoControl& call) {
    call.out[0] = 0x77;
    return IoResult{true, call.outSize, ERROR_SUCCESS};
  }));
  machine.FailCalls(vesk::sim::Api::ReleaseMutex, ERROR_NOT_OWNER);
  SyncRequest request(handle.get());

  const std::string path(pdoName.begin(), pdoName.end());
  EXPECT_EQ(ExpectTalu([&] { request.Invoke(); },
                       "Unable to release device's mutex\\\\?\\Global\\GlobalRoot" + path),
            ERROR_NOT_OWNER);
  EXPECT_EQ(request.buffer[0], 0x77);
  ReleaseMutex(handle->mutex);
}

// A request class whose Send throws (as a framing check may) must not keep the device locked.
TEST_F(IoctlTest, SendThatThrowsReleasesTheMutex) {
  class ThrowingRequest : public SyncRequest {
   public:
    using SyncRequest::SyncRequest;
    int Send() override {
      SyncRequest::Send();
      throw TaluException("answer rejected", 13);
    }
  };
  Open(std::make_shared<ScriptedBackend>());
  ThrowingRequest request(handle.get());

  ExpectTalu([&] { request.Invoke(); }, "answer rejected");
  EXPECT_TRUE(MutexIsFree(handle->mutex));
}

// --- removal of the device ------------------------------------------------------------------

// The removal leaves the exit event set: every later request ends at its lock (which a free mutex
// reaches first) and gives the mutex back. A handle whose removal registration failed never learns
// of the removal; its requests fail in the device call instead.
TEST_F(IoctlTest, DeviceRemovedBetweenRequestsFailsTheNextAtItsLock) {
  for (const bool registered : {true, false}) {
    SCOPED_TRACE(registered ? "registered for removal" : "registration failed");
    if (!registered) machine.FailCalls(vesk::sim::Api::CM_Register_Notification, CR_OUT_OF_MEMORY);
    auto backend = std::make_shared<ScriptedBackend>();
    Open(backend);
    SyncRequest request(handle.get());
    ASSERT_NE(request.Invoke(), 0);

    RemoveAndSettle();

    if (registered) {
      ExpectTalu([&] { request.Invoke(); }, exitMessage);
      ExpectTalu([&] { request.Invoke(); }, exitMessage);
    } else {
      EXPECT_EQ(request.Invoke(), 0);
      EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    }
    EXPECT_EQ(backend->calls, 1);
    EXPECT_EQ(machine.OpenHandleCount(id), registered ? 0u : 1u);
    EXPECT_EQ(WaitForSingleObject(handle->exitEvent, 0), registered ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    EXPECT_TRUE(MutexIsFree(handle->mutex));
  }
}

TEST_F(IoctlTest, RemovalDuringARequestLetsTheCallFinishOnAnOpenHandle) {
  Watchdog watchdog("a removal during a request");
  auto backend = std::make_shared<BlockingBackend>();
  Open(backend);
  SyncRequest request(handle.get());
  int result = 0;
  std::thread caller([&] { result = request.Invoke(); });
  ASSERT_TRUE(backend->WaitEntered());

  machine.RemoveDevice(id);
  machine.WaitForNotifications();
  ASSERT_EQ(WaitForSingleObject(handle->exitEvent, 5000), WAIT_OBJECT_0);
  Sleep(50);
  // The removal reaction waits for the call before it closes the file handle.
  EXPECT_EQ(machine.OpenHandleCount(id), 1u);

  backend->Release();
  caller.join();
  handle->listener.WaitForWorkers();

  EXPECT_NE(result, 0);
  EXPECT_EQ(request.buffer[0], 0x5A);
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
  ExpectTalu([&] { request.Invoke(); }, exitMessage);
}

// --- the asynchronous executor --------------------------------------------------------------

// Invoke returns while the call is held in the backend; destruction waits for the call.
TEST_F(IoctlTest, AsynchronousRequestReturnsAtOnceAndItsDestructionWaitsForTheCall) {
  Watchdog watchdog("an asynchronous request");
  auto backend = std::make_shared<BlockingBackend>();
  Open(backend);
  auto request = std::make_unique<AsyncRequest>(handle.get());

  EXPECT_EQ(request->Invoke(), 1);
  ASSERT_TRUE(backend->WaitEntered());

  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    request.reset();
    destroyed = true;
  });
  Sleep(100);
  EXPECT_FALSE(destroyed);
  backend->Release();
  destroyer.join();
}

TEST_F(IoctlTest, AsynchronousRequestYieldsTheOutcomeOfTheCallWithoutTheDeviceMutex) {
  auto backend = std::make_shared<ScriptedBackend>([](int call, const IoControl&) {
    return call == 1 ? IoResult{true, 4, ERROR_SUCCESS} : IoResult{false, 0, ERROR_IO_DEVICE};
  });
  Open(backend);
  MutexHolder holder(handle->mutex);
  AsyncRequest request(handle.get());

  EXPECT_EQ(request.Invoke(), 1);
  EXPECT_NE(request.Result(), 0);
  EXPECT_EQ(request.Invoke(), 1);
  EXPECT_EQ(request.Result(), 0);
  EXPECT_EQ(request.Result(), 0) << "nothing pending";
  // A device on its way out: the request still starts, and yields 0 without a call.
  SetEvent(handle->exitEvent);
  EXPECT_EQ(request.Invoke(), 1);
  EXPECT_EQ(request.Result(), 0);
  EXPECT_EQ(backend->calls, 2);
}

}  // namespace
}  // namespace Vesk::test
