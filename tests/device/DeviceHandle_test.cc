#include "device/DeviceHandle.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "DeviceTestSupport.h"
#include "tests/Watchdog.h"
#include "vesk/Exceptions.h"

namespace Vesk::test {
namespace {

class DeviceHandleTest : public ::testing::Test {
 protected:
  DeviceHandleTest() : pdoName(UniquePdoName()) {
    id = AddController(machine, pdoName, std::make_shared<ScriptedBackend>());
  }

  vesk::sim::Machine machine;
  std::wstring pdoName;
  vesk::sim::DeviceId id = 0;
};

TEST(DeviceHandleMutexName, EveryBackslashOfThePathBecomesAnUnderscore) {
  EXPECT_EQ(DeviceHandle::MutexName(L"\\\\?\\Global\\GlobalRoot\\Device\\00000031"),
            L"Global\\KorvaTALU___?_Global_GlobalRoot_Device_00000031");
  EXPECT_EQ(DeviceHandle::MutexName(L""), L"Global\\KorvaTALU_");
}

TEST_F(DeviceHandleTest, HandlesOnOneDevicePathShareOneMutex) {
  auto first = OpenController(pdoName);
  auto second = OpenController(pdoName);
  const std::wstring otherName = UniquePdoName();
  AddController(machine, otherName, std::make_shared<ScriptedBackend>());
  auto other = OpenController(otherName);

  MutexHolder holder(first->mutex, MutexHolder::End::Release);
  ASSERT_TRUE(holder.Owned());

  EXPECT_EQ(WaitForSingleObject(second->mutex, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(other->mutex, 0), WAIT_OBJECT_0);
  ReleaseMutex(other->mutex);
}

TEST_F(DeviceHandleTest, DestructionClosesTheFileTheMutexAndTheExitEvent) {
  auto handle = OpenController(pdoName);
  const HANDLE file = handle->handle;
  const HANDLE mutex = handle->mutex;
  const HANDLE exitEvent = handle->exitEvent;
  EXPECT_EQ(machine.OpenHandleCount(id), 1u);

  handle.reset();

  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
  for (HANDLE closed : {file, mutex, exitEvent}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(closed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
}

// --- failure to obtain the mutex ------------------------------------------------------------

struct MutexFailure {
  vesk::sim::Api api;
  DWORD error;
  const char* message;
};

class DeviceHandleMutexFailureTest : public DeviceHandleTest,
                                     public ::testing::WithParamInterface<MutexFailure> {};

TEST_P(DeviceHandleMutexFailureTest, ThrowsItsMessageAndClosesWhatItTookOver) {
  const MutexFailure& failure = GetParam();
  HANDLE file = OpenDevice(pdoName);
  ASSERT_EQ(machine.OpenHandleCount(id), 1u);
  machine.FailCalls(failure.api, failure.error);

  try {
    VeskControllerHandle handle(file, std::make_unique<Device>(DevicePath(pdoName)));
    ADD_FAILURE() << "constructed";
  } catch (const TaluException& exception) {
    EXPECT_EQ(std::string(exception.Message()), failure.message);
    EXPECT_EQ(exception.ErrorCode(), failure.error);
  }
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, DeviceHandleMutexFailureTest,
    ::testing::Values(MutexFailure{vesk::sim::Api::CreateMutexW, ERROR_ACCESS_DENIED,
                                   "Access denied. Insufficient privileges to obtain a mutex."},
                      MutexFailure{vesk::sim::Api::CreateMutexW, ERROR_INVALID_HANDLE,
                                   "Mutex is used by an object of another type."},
                      MutexFailure{vesk::sim::Api::CreateMutexW, ERROR_BAD_PATHNAME,
                                   "Bad pathname. Mutex name contains unsupported characters."},
                      MutexFailure{vesk::sim::Api::CreateMutexW, ERROR_NOT_ENOUGH_MEMORY,
                                   "Unknown failure during mutex creation."},
                      MutexFailure{vesk::sim::Api::ConvertStringSecurityDescriptor,
                                   ERROR_INVALID_PARAMETER,
                                   "Unknown failure during mutex creation."}));

// --- removal --------------------------------------------------------------------------------

// Which actions count as a removal is the listener's to decide; here only that the handle reacts to
// the removal event and not to the arrival event.
TEST_F(DeviceHandleTest, OnlyARemovalReleasesAndClosesTheDevice) {
  auto handle = OpenController(pdoName);
  for (const auto& [action, removed] : {std::pair{CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, false},
                                        std::pair{CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, true}}) {
    SCOPED_TRACE(action);
    machine.NotifyDeviceHandles(id, action);
    machine.WaitForNotifications();
    handle->listener.WaitForWorkers();
    EXPECT_EQ(WaitForSingleObject(handle->exitEvent, 0), removed ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    EXPECT_EQ(machine.OpenHandleCount(id), removed ? 0u : 1u);
    EXPECT_EQ(handle->handle == nullptr, removed);
  }
}

TEST_F(DeviceHandleTest, QueryRemoveThenRemoveCompleteClosesTheFileOnce) {
  auto handle = OpenController(pdoName);
  const HANDLE file = handle->handle;

  machine.NotifyDeviceHandles(id, CM_NOTIFY_ACTION_DEVICEQUERYREMOVE);
  machine.WaitForNotifications();
  handle->listener.WaitForWorkers();
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);

  machine.NotifyDeviceHandles(id, CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE);
  machine.WaitForNotifications();
  handle->listener.WaitForWorkers();

  EXPECT_EQ(WaitForSingleObject(handle->exitEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(handle->handle, nullptr);
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(CloseHandle(file));
}

TEST_F(DeviceHandleTest, RemovalOfTheDeviceRaisesBothRemovalNotificationsSafely) {
  Watchdog watchdog("two removal reactions at once");
  // Query-remove and remove-complete arrive back to back and run on two workers at once.
  auto handle = OpenController(pdoName);

  machine.RemoveDevice(id);
  machine.WaitForNotifications();
  handle->listener.WaitForWorkers();

  EXPECT_EQ(WaitForSingleObject(handle->exitEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
}

TEST_F(DeviceHandleTest, HandleDestroyedWhileItsRemovalIsDeliveredIsNotTouchedAfterwards) {
  Watchdog watchdog("destroying handles during their removal");
  for (int round = 0; round < 20; ++round) {
    auto handle = OpenController(pdoName);
    machine.NotifyDeviceHandles(id, CM_NOTIFY_ACTION_DEVICEQUERYREMOVE);
    handle.reset();
    machine.WaitForNotifications();
  }
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
}

}  // namespace
}  // namespace Vesk::test
