#include "device/DeviceHandle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "DeviceTestSupport.h"
#include "platform/simulated/Host.h"
#include "tests/Watchdog.h"
#include "vesk/Exceptions.h"

namespace Vesk::test {
namespace {

class DeviceHandleTest : public ::testing::Test {
 protected:
  DeviceHandleTest() : pdoName(UniquePdoName()) {
    id = AddController(machine, pdoName, std::make_shared<ScriptedBackend>());
  }

  std::wstring MutexName() const { return DeviceHandle::MutexName(DevicePath(pdoName)); }

  // One request through the handle, as an executor sends it.
  static bool Request(DeviceHandle& handle) {
    BYTE buffer[8] = {};
    DWORD bytes = 0;
    return handle.IoControl(IOCTL_SCSI_MINIPORT, buffer, sizeof buffer, buffer, sizeof buffer,
                            &bytes) != FALSE;
  }

  // Wraps a newly opened file of the device, expecting the construction to fail with this message
  // and code and to close the file it was given and every object it made.
  void ExpectRefused(const std::string& message, DWORD error) {
    const std::size_t handles = vesk::platform::OpenHandleCount();
    HANDLE file = OpenDevice(pdoName);
    EXPECT_EQ(
        ExpectTalu(
            [&] { VeskControllerHandle(file, std::make_unique<Device>(DevicePath(pdoName))); },
            message),
        error);
    EXPECT_EQ(vesk::platform::OpenHandleCount(), handles);
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

TEST_F(DeviceHandleTest, DestructionClosesTheFileTheMutexAndTheExitEvent) {
  auto handle = OpenController(pdoName);
  const HANDLE objects[] = {handle->handle, handle->mutex, handle->exitEvent};

  handle.reset();

  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
  for (HANDLE closed : objects) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(closed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
}

// --- the device's named mutex ---------------------------------------------------------------

struct MutexFailure {
  vesk::sim::Api api;
  DWORD error;
  const char* message;
};

class DeviceHandleMutexFailureTest : public DeviceHandleTest,
                                     public ::testing::WithParamInterface<MutexFailure> {};

TEST_P(DeviceHandleMutexFailureTest, ThrowsItsMessageAndClosesWhatItTookOver) {
  machine.FailCalls(GetParam().api, GetParam().error);
  ExpectRefused(GetParam().message, GetParam().error);
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

// The mutex is shared by every process that manages the device, whoever runs it, so the library
// creates it with a descriptor that grants everyone full access; the emulation keeps the
// creator's descriptor and checks later opens against it, as Windows does.
using MutexSecurityTest = DeviceHandleTest;

TEST_F(MutexSecurityTest, MutexTheLibraryCreatesGrantsEveryUserFullAccess) {
  auto handle = OpenController(pdoName);
  // Another opener gets the full access a mutex needs (an opener's own descriptor is ignored).
  HANDLE other = CreateMutexW(nullptr, FALSE, MutexName().c_str());
  EXPECT_NE(other, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  CloseHandle(other);
  // Other users may open it too: without a descriptor it would be its creator's alone (0600).
  const std::wstring name = MutexName().substr(std::wstring(L"Global\\").size());
  struct stat status {};
  ASSERT_EQ(
      stat(("/dev/shm/vesk.global." + std::string(name.begin(), name.end())).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0666u);
}

TEST_F(MutexSecurityTest, MutexOfTheDeviceThatGrantsNobodyAccessIsRefused) {
  PSECURITY_DESCRIPTOR nobody = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1, &nobody,
                                                                   nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nobody, FALSE};
  HANDLE squatter = CreateMutexW(&attributes, FALSE, MutexName().c_str());
  LocalFree(nobody);
  ASSERT_NE(squatter, nullptr);

  ExpectRefused("Access denied. Insufficient privileges to obtain a mutex.", ERROR_ACCESS_DENIED);
  CloseHandle(squatter);
}

// --- removal --------------------------------------------------------------------------------

// Which actions count as a removal is the listener's to decide; here only that the handle reacts
// to a removal and not to an arrival, nor to the refusal of a removal it never let go for, and
// that the second removal of a device changes nothing.
TEST_F(DeviceHandleTest, OnlyARemovalReleasesAndClosesTheDevice) {
  auto handle = OpenController(pdoName);
  for (const auto& [action, removed] : {std::pair{CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, false},
                                        std::pair{CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED, false},
                                        std::pair{CM_NOTIFY_ACTION_DEVICEQUERYREMOVE, true},
                                        std::pair{CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE, true}}) {
    SCOPED_TRACE(action);
    machine.NotifyDeviceHandles(id, action);
    machine.WaitForNotifications();
    handle->listener.WaitForWorkers();
    EXPECT_EQ(WaitForSingleObject(handle->exitEvent, 0), removed ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    EXPECT_EQ(machine.OpenHandleCount(id), removed ? 0u : 1u);
    EXPECT_EQ(handle->handle == nullptr, removed);
  }
}

// Windows decides a query-remove once the callbacks have answered, refusing it while any handle
// to the device is still open: the library's handle must be closed by then. A handle someone else
// keeps open refuses the removal; the library then opens the device again, so that once the
// refusal has been delivered its requests work, and a later removal still releases it.
TEST_F(DeviceHandleTest, OrderlyRemovalGoesAheadUnlessAnotherHandleKeepsTheDeviceOpen) {
  Watchdog watchdog("an orderly removal");
  const std::size_t registrations = vesk::platform::NotificationRegistrationCount();
  auto handle = OpenController(pdoName);
  HANDLE other = OpenDevice(pdoName);
  machine.RemoveDevice(id, vesk::sim::Machine::Removal::Orderly);
  machine.WaitForNotifications();
  EXPECT_TRUE(machine.IsPresent(id));
  EXPECT_EQ(WaitForSingleObject(handle->exitEvent, 0), WAIT_TIMEOUT);
  EXPECT_EQ(machine.OpenHandleCount(id), 2u);
  EXPECT_TRUE(Request(*handle));
  // The registration on the closed handle has ended; the one on the new handle remains.
  handle->listener.WaitForWorkers();
  EXPECT_EQ(vesk::platform::NotificationRegistrationCount(), registrations + 1);

  CloseHandle(other);
  machine.RemoveDevice(id, vesk::sim::Machine::Removal::Orderly);
  machine.WaitForNotifications();
  handle->listener.WaitForWorkers();
  EXPECT_FALSE(machine.IsPresent(id));
  EXPECT_EQ(WaitForSingleObject(handle->exitEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(handle->handle, nullptr);
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
  handle.reset();
  EXPECT_EQ(vesk::platform::NotificationRegistrationCount(), registrations);
}

// The device may go before the library opens it again: the handle stays removed. When only the
// new registration fails, the old one still follows the device and reports its later removal.
TEST_F(DeviceHandleTest, RefusedRemovalWhoseReopeningFailsLeavesTheHandleRemoved) {
  Watchdog watchdog("a refused removal");
  auto handle = OpenController(pdoName);
  HANDLE other = OpenDevice(pdoName);
  machine.FailCalls(vesk::sim::Api::CreateFile2, ERROR_FILE_NOT_FOUND);
  machine.RemoveDevice(id, vesk::sim::Machine::Removal::Orderly);
  machine.WaitForNotifications();
  EXPECT_FALSE(machine.FaultPending(vesk::sim::Api::CreateFile2));
  EXPECT_EQ(WaitForSingleObject(handle->exitEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(handle->handle, nullptr);
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(Request(*handle));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(machine.OpenHandleCount(id), 1u);
  CloseHandle(other);
}

TEST_F(DeviceHandleTest, RefusedRemovalWhoseNewRegistrationFailsStillHearsTheNextRemoval) {
  Watchdog watchdog("a refused removal");
  const std::size_t registrations = vesk::platform::NotificationRegistrationCount();
  auto handle = OpenController(pdoName);
  HANDLE other = OpenDevice(pdoName);
  machine.FailCalls(vesk::sim::Api::CM_Register_Notification, CR_OUT_OF_MEMORY);
  machine.RemoveDevice(id, vesk::sim::Machine::Removal::Orderly);
  machine.WaitForNotifications();
  EXPECT_FALSE(machine.FaultPending(vesk::sim::Api::CM_Register_Notification));
  EXPECT_EQ(WaitForSingleObject(handle->exitEvent, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(Request(*handle));
  CloseHandle(other);
  machine.RemoveDevice(id);
  machine.WaitForNotifications();
  handle->listener.WaitForWorkers();
  EXPECT_EQ(WaitForSingleObject(handle->exitEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
  handle.reset();
  EXPECT_EQ(vesk::platform::NotificationRegistrationCount(), registrations);
}

TEST_F(DeviceHandleTest, HandleDestroyedWhileItsRemovalIsDeliveredIsNotTouchedAfterwards) {
  Watchdog watchdog("destroying handles during their removal");
  const std::size_t registrations = vesk::platform::NotificationRegistrationCount();
  for (int round = 0; round < 20; ++round) {
    auto handle = OpenController(pdoName);
    machine.NotifyDeviceHandles(id, CM_NOTIFY_ACTION_DEVICEQUERYREMOVE);
    // A destroyed handle opens nothing again and registers nothing.
    machine.NotifyDeviceHandles(id, CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED);
    if (round % 2 == 1) machine.WaitForNotifications();
    handle.reset();
    machine.WaitForNotifications();
  }
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
  EXPECT_EQ(vesk::platform::NotificationRegistrationCount(), registrations);
}

}  // namespace
}  // namespace Vesk::test
