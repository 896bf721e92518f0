// The simulated machine itself: being current, fault switches, debugger output.
#include "simulator/Machine.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using vesk::sim::Api;
using vesk::sim::DeviceSpec;
using vesk::sim::Machine;

DeviceSpec Spec(const std::wstring& pdo) {
  DeviceSpec description;
  description.pdoName = pdo;
  return description;
}

HANDLE Open(const std::wstring& pdo) {
  return CreateFile2((L"\\\\?\\Global\\GlobalRoot" + pdo).c_str(), GENERIC_READ, 0, OPEN_EXISTING,
                     nullptr);
}

// The last error of a call that failed (`ok` false); 0 for a call that succeeded.
DWORD FailureOf(BOOL ok) { return ok ? 0 : GetLastError(); }
BOOL Bare(HANDLE device) {
  DWORD returned = 0;
  return DeviceIoControl(device, 1, nullptr, 0, nullptr, 0, &returned, nullptr);
}

TEST(MachineLife, OnlyOneMachineIsCurrentAndANewOneStartsEmpty) {
  EXPECT_EQ(Machine::Current(), nullptr);
  {
    Machine machine;
    EXPECT_EQ(Machine::Current(), &machine);
    EXPECT_THROW(Machine second, std::logic_error);
    EXPECT_EQ(Machine::Current(), &machine);
    machine.AddDevice(Spec(L"\\Device\\1"));
    machine.FailCalls(Api::CreateEventW, ERROR_NOT_ENOUGH_MEMORY, -1);
    OutputDebugStringW(L"old\n");
  }
  EXPECT_EQ(Machine::Current(), nullptr);
  Machine fresh;
  EXPECT_EQ(Open(L"\\Device\\1"), INVALID_HANDLE_VALUE);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(event, nullptr);
  CloseHandle(event);
  EXPECT_TRUE(fresh.DebugOutput().empty());
}

TEST(MachineLife, HandleOutlivingItsMachineFailsLikeARemovedDevice) {
  HANDLE device;
  {
    Machine machine;
    machine.AddDevice(Spec(L"\\Device\\1"));
    device = Open(L"\\Device\\1");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
  }
  EXPECT_EQ(FailureOf(Bare(device)), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(device));
}

TEST(MachineLife, UnknownDeviceIdsAreRefused) {
  Machine machine;
  EXPECT_THROW(machine.RemoveDevice(123456), std::out_of_range);
  EXPECT_THROW(machine.OpenHandleCount(123456), std::out_of_range);
  EXPECT_THROW(machine.NotifyInterface(123456, CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL),
               std::out_of_range);
}

TEST(DebugOutput, GoesToTheMachineInOrderAndIsDroppedWithoutOne) {
  OutputDebugStringW(L"before any machine\n");
  Machine machine;
  OutputDebugStringW(L"A new element has been added.\n");
  OutputDebugStringW(L"An element has been removed.\n");
  OutputDebugStringW(nullptr);
  EXPECT_EQ(machine.DebugOutput(), (std::vector<std::wstring>{L"A new element has been added.\n",
                                                              L"An element has been removed.\n"}));
  machine.ClearDebugOutput();
  EXPECT_TRUE(machine.DebugOutput().empty());
}

class Faults : public ::testing::Test {
 protected:
  Machine machine;
};

// The counted switch lets one call through first, as a fault loop arms the Nth call.
TEST_F(Faults, CountedFaultFailsThatManyCallsAndAPermanentOneLastsUntilCleared) {
  machine.FailCalls(Api::CreateEventW, ERROR_NOT_ENOUGH_MEMORY, 2, 1);
  machine.FailCalls(Api::CreateMutexW, ERROR_ACCESS_DENIED, -1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(machine.FaultPending(Api::CreateEventW), i < 3) << i;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(event == nullptr ? GetLastError() : 0, i == 1 || i == 2 ? ERROR_NOT_ENOUGH_MEMORY : 0)
        << i;
    CloseHandle(event);
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, L"Global\\VeskFaultTest"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
  machine.FailCalls(Api::CreateMutexW, 0, 0);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  EXPECT_NE(mutex, nullptr);
  machine.FailCalls(Api::ReleaseMutex, ERROR_INVALID_HANDLE, -1);
  machine.FailCalls(Api::CreateEventW, ERROR_INVALID_HANDLE, -1);
  machine.ClearFaults();
  ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(event, nullptr);
  CloseHandle(event);
}

TEST_F(Faults, HoldingsCountOpenHandlesAndNotificationRegistrations) {
  const std::size_t handles = vesk::platform::OpenHandleCount();
  const std::size_t registrations = vesk::platform::NotificationRegistrationCount();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CM_NOTIFY_FILTER filter{};
  filter.cbSize = sizeof filter;
  filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
  filter.u.DeviceInterface.ClassGuid = GUID_DEVINTERFACE_STORAGEPORT;
  HCMNOTIFICATION notification = nullptr;
  auto callback = [](HCMNOTIFICATION, PVOID, CM_NOTIFY_ACTION, PCM_NOTIFY_EVENT_DATA,
                     DWORD) -> DWORD { return 0; };
  ASSERT_EQ(CM_Register_Notification(&filter, nullptr, callback, &notification), CR_SUCCESS);
  EXPECT_EQ(vesk::platform::OpenHandleCount(), handles + 1);
  EXPECT_EQ(vesk::platform::NotificationRegistrationCount(), registrations + 1);
  CM_Unregister_Notification(notification);
  CloseHandle(event);
  EXPECT_EQ(vesk::platform::OpenHandleCount(), handles);
  EXPECT_EQ(vesk::platform::NotificationRegistrationCount(), registrations);
}

TEST_F(Faults, EveryEmulatedFunctionWithASwitchFailsWithTheGivenError) {
  const auto id = machine.AddDevice(Spec(L"\\Device\\1"));
  HANDLE device = Open(L"\\Device\\1");
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  constexpr DWORD kError = 1234;

  machine.FailCalls(Api::CreateFile2, kError);
  EXPECT_EQ(Open(L"\\Device\\1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), kError);

  machine.FailCalls(Api::DeviceIoControl, kError);
  EXPECT_EQ(FailureOf(Bare(device)), kError);
  machine.FailCalls(Api::ReleaseMutex, kError);
  EXPECT_EQ(FailureOf(ReleaseMutex(mutex)), kError);
  EXPECT_TRUE(ReleaseMutex(mutex));  // a failed release left it owned
  machine.FailCalls(Api::ConvertStringSecurityDescriptor, kError);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_EQ(FailureOf(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1,
                                                                           &descriptor, nullptr)),
            kError);

  machine.FailCalls(Api::CM_Register_Notification, CR_OUT_OF_MEMORY);
  CM_NOTIFY_FILTER filter{};
  filter.cbSize = sizeof filter;
  HCMNOTIFICATION notification = nullptr;
  auto callback = [](HCMNOTIFICATION, PVOID, CM_NOTIFY_ACTION, PCM_NOTIFY_EVENT_DATA,
                     DWORD) -> DWORD { return 0; };
  EXPECT_EQ(CM_Register_Notification(&filter, nullptr, callback, &notification), CR_OUT_OF_MEMORY);

  machine.FailCalls(Api::SetupDiCreateDeviceInfoList, kError);
  EXPECT_EQ(SetupDiCreateDeviceInfoList(nullptr, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), kError);

  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  machine.FailCalls(Api::SetupDiGetClassDevsExW, kError);
  EXPECT_EQ(SetupDiGetClassDevsExW(&GUID_DEVCLASS_SCSIADAPTER, nullptr, nullptr, DIGCF_PRESENT, set,
                                   nullptr, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), kError);
  SetupDiGetClassDevsExW(&GUID_DEVCLASS_SCSIADAPTER, nullptr, nullptr, DIGCF_PRESENT, set, nullptr,
                         nullptr);
  SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  machine.FailCalls(Api::SetupDiGetDevicePropertyW, kError);
  DEVPROPTYPE type;
  BYTE buffer[64];
  EXPECT_EQ(FailureOf(SetupDiGetDevicePropertyW(set, &data, &DEVPKEY_Device_PDOName, &type, buffer,
                                                sizeof buffer, nullptr, 0)),
            kError);
  SetupDiDestroyDeviceInfoList(set);

  machine.FailCalls(Api::EventRegister, kError);
  const GUID provider = {7, 7, 7, {7}};
  REGHANDLE handle = 99;
  EXPECT_EQ(EventRegister(&provider, nullptr, nullptr, &handle), kError);
  EXPECT_EQ(handle, 0u);

  EXPECT_EQ(machine.OpenHandleCount(id), 1u);
  CloseHandle(device);
  CloseHandle(mutex);
}

}  // namespace
