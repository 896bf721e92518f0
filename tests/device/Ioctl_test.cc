#include "device/Ioctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
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

  std::string ReleaseFailure() const {
    return "Unable to release device's mutex\\\\?\\Global\\GlobalRoot" +
           std::string(pdoName.begin(), pdoName.end());
  }

  // Sets the exit event 200 ms into `wait` (which expects it to end the wait); returns the wait's
  // length.
  template <typename F>
  long long MsUntilExitEnds(F&& wait) {
    std::thread remover([&] {
      Sleep(200);
      SetEvent(handle->exitEvent);
    });
    const long long ms = MillisecondsOf([&] { ExpectTalu(wait, exitMessage); });
    remover.join();
    return ms;
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
  // Released once: this thread no longer owns it.
  EXPECT_EQ(ExpectTalu([&] { request.Unlock(); }, ReleaseFailure()), ERROR_NOT_OWNER);
}

// --- busy retry -----------------------------------------------------------------------------

TEST_F(IoctlTest, BusyDriverIsAskedAgainAfter100Ms) {
  auto backend = std::make_shared<ScriptedBackend>([](int call, const IoControl&) {
    return call == 1 ? IoResult{false, 0, ERROR_BUSY} : IoResult{true, 8, ERROR_SUCCESS};
  });
  Open(backend);
  SyncRequest request(handle.get());

  int result = 0;
  const long long ms = MillisecondsOf([&] { result = request.Invoke(); });

  EXPECT_NE(result, 0);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "the busy answer is not this request's outcome";
  EXPECT_EQ(backend->calls, 2);
  EXPECT_GE(ms, 95);
  EXPECT_LT(ms, 2000);
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

  EXPECT_EQ(request.Invoke() != 0, c.errorAfter == ERROR_SUCCESS);
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

  int result = 1;
  const long long ms = MillisecondsOf([&] { result = request.Invoke(); });

  EXPECT_EQ(result, 0);
  EXPECT_EQ(GetLastError(), ERROR_BUSY);
  EXPECT_EQ(backend->calls, 101);
  EXPECT_GE(ms, 9900);
  EXPECT_TRUE(MutexIsFree(handle->mutex));
}

// --- the wait for the device ----------------------------------------------------------------

TEST_F(IoctlTest, ExitEventSetBeforeTheRequestEndsItAtTheLock) {
  auto backend = std::make_shared<ScriptedBackend>();
  Open(backend);
  SetEvent(handle->exitEvent);
  SyncRequest request(handle.get());

  ExpectTalu([&] { request.Invoke(); }, exitMessage);
  ExpectTalu([&] { request.Invoke(); }, exitMessage);
  EXPECT_EQ(backend->calls, 0);
  EXPECT_TRUE(MutexIsFree(handle->mutex));
}

TEST_F(IoctlTest, ExitEventSetDuringTheWaitEndsItAtOnce) {
  Open(std::make_shared<ScriptedBackend>());
  MutexHolder holder(handle->mutex, MutexHolder::End::Release);
  ASSERT_TRUE(holder.Owned());
  SyncRequest request(handle.get());

  const long long ms = MsUntilExitEnds([&] { request.Lock(); });
  EXPECT_GE(ms, 150);
  EXPECT_LT(ms, 5000);
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
      HolderProcess holder(pdoName, 60000);
      ASSERT_TRUE(holder.WaitHolding());
      holder.Kill();
    } else {
      ASSERT_TRUE(MutexHolder(handle->mutex, MutexHolder::End::Abandon).Owned());
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
  MutexHolder deviceHolder(handle->mutex, MutexHolder::End::Release);
  HANDLE stray = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_NE(stray, nullptr);
  MutexHolder strayHolder(stray, MutexHolder::End::Abandon);
  HANDLE exitEvent = handle->exitEvent;
  handle->exitEvent = stray;
  SyncRequest request(handle.get());

  ExpectTalu([&] { request.Lock(); }, "Mutex wait for device failed. Exit handle is invalid.");

  handle->exitEvent = exitEvent;
  ReleaseMutex(stray);
  CloseHandle(stray);
}

TEST_F(IoctlTest, ClosedMutexHandleFailsTheWait) {
  Open(std::make_shared<ScriptedBackend>());
  ASSERT_TRUE(CloseHandle(handle->mutex));
  SyncRequest request(handle.get());

  EXPECT_EQ(ExpectTalu([&] { request.Invoke(); }, "Unable to release device's mutex"),
            ERROR_INVALID_HANDLE);
  handle->mutex = nullptr;
}

TEST_F(IoctlTest, RequestWithoutADeviceFailsAtTheLockAndItsReleaseDoesNothing) {
  SyncRequest request(nullptr);

  EXPECT_EQ(
      ExpectTalu([&] { request.Invoke(); }, "Unable to release mutex. Device handle is invalid."),
      ERROR_INVALID_HANDLE);
  EXPECT_NO_THROW(request.Unlock());
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

// --- another process holds the device -------------------------------------------------------

TEST_F(IoctlTest, ExitEventEndsAWaitForAMutexHeldByAnotherProcess) {
  Open(std::make_shared<ScriptedBackend>());
  HolderProcess holder(pdoName, 60000);
  ASSERT_TRUE(holder.WaitHolding());
  SyncRequest request(handle.get());

  EXPECT_LT(MsUntilExitEnds([&] { request.Invoke(); }), 5000);
}

TEST_F(IoctlTest, RequestWaitsForAnotherProcessToReleaseTheMutex) {
  auto backend = std::make_shared<ScriptedBackend>();
  Open(backend);
  HolderProcess holder(pdoName, 300);
  ASSERT_TRUE(holder.WaitHolding());
  SyncRequest request(handle.get());

  int result = 0;
  const long long ms = MillisecondsOf([&] { result = request.Invoke(); });

  EXPECT_NE(result, 0);
  EXPECT_GE(ms, 100);
  EXPECT_LT(ms, 10000);
}

// Waits the full 30 seconds.
TEST_F(IoctlTest, SlowMutexHeldByAnotherProcessPast30SecondsTimesOut) {
  auto backend = std::make_shared<ScriptedBackend>();
  Open(backend);
  HolderProcess holder(pdoName, 40000);
  ASSERT_TRUE(holder.WaitHolding());
  SyncRequest request(handle.get());

  const long long ms = MillisecondsOf([&] {
    ExpectTalu([&] { request.Invoke(); },
               "Mutex was not released by the thread that owned the mutex object.");
  });

  EXPECT_GE(ms, 29900);
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

  EXPECT_EQ(ExpectTalu([&] { request.Invoke(); }, ReleaseFailure()), ERROR_NOT_OWNER);
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

TEST_F(IoctlTest, DeviceRemovedBetweenRequestsFailsTheNextAtItsLock) {
  auto backend = std::make_shared<ScriptedBackend>();
  Open(backend);
  SyncRequest request(handle.get());
  ASSERT_NE(request.Invoke(), 0);

  RemoveAndSettle();

  ExpectTalu([&] { request.Invoke(); }, exitMessage);
  EXPECT_EQ(backend->calls, 1);
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
}

TEST_F(IoctlTest, DeviceGoneUnnoticedFailsInTheDeviceCall) {
  // Without its removal registration the handle never learns of the removal.
  machine.FailCalls(vesk::sim::Api::CM_Register_Notification, CR_OUT_OF_MEMORY);
  auto backend = std::make_shared<ScriptedBackend>();
  Open(backend);
  SyncRequest request(handle.get());
  ASSERT_NE(request.Invoke(), 0);

  RemoveAndSettle();

  EXPECT_EQ(request.Invoke(), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(handle->exitEvent, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(MutexIsFree(handle->mutex));
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
  EXPECT_EQ(backend->Entered(), 1);
}

// --- the asynchronous executor --------------------------------------------------------------

TEST_F(IoctlTest, AsynchronousRequestReturnsAtOnceAndItsDestructionWaitsForTheCall) {
  Watchdog watchdog("destroying an asynchronous request");
  auto backend = std::make_shared<BlockingBackend>();
  Open(backend);
  auto request = std::make_unique<AsyncRequest>(handle.get());

  int started = 0;
  const long long ms = MillisecondsOf([&] { started = request->Invoke(); });
  EXPECT_EQ(started, 1);
  EXPECT_LT(ms, 1000);
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
  EXPECT_TRUE(destroyed);
}

TEST_F(IoctlTest, AsynchronousRequestYieldsTheOutcomeOfTheCallWithoutTheDeviceMutex) {
  auto backend = std::make_shared<ScriptedBackend>([](int call, const IoControl&) {
    return call == 1 ? IoResult{true, 4, ERROR_SUCCESS} : IoResult{false, 0, ERROR_IO_DEVICE};
  });
  Open(backend);
  MutexHolder holder(handle->mutex, MutexHolder::End::Release);
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
