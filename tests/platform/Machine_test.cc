// The simulated machine itself: being current, fault switches, debugger output.
#include "simulator/Machine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PlatformTestSupport.h"

namespace {

using vesk::sim::Api;
using vesk::sim::Machine;
using vesk::test::Bare;
using vesk::test::Controller;
using vesk::test::FailureOf;
using vesk::test::Open;
using vesk::test::PathOf;

// Without a machine nothing can be opened or enumerated; a new machine starts empty. A handle that
// outlives its machine fails like that of a removed device.
TEST(MachineLife, OnlyOneMachineIsCurrentAndANewOneStartsEmpty) {
  EXPECT_EQ(Machine::Current(), nullptr);
  EXPECT_EQ(Open(PathOf(L"\\Device\\1")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  HDEVINFO set = SetupDiGetClassDevsExW(&GUID_DEVCLASS_SCSIADAPTER, nullptr, nullptr, DIGCF_PRESENT,
                                        nullptr, nullptr, nullptr);
  SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA), {}, 0, 0};
  EXPECT_EQ(FailureOf(SetupDiEnumDeviceInfo(set, 0, &data)), ERROR_NO_MORE_ITEMS);
  SetupDiDestroyDeviceInfoList(set);
  HANDLE device = nullptr;
  {
    Machine machine;
    EXPECT_EQ(Machine::Current(), &machine);
    EXPECT_THROW(Machine second, std::logic_error);
    EXPECT_EQ(Machine::Current(), &machine);
    machine.AddDevice(Controller(L"\\Device\\1"));
    device = Open(PathOf(L"\\Device\\1"));
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    machine.FailCalls(Api::CreateEventW, ERROR_NOT_ENOUGH_MEMORY, -1);
    OutputDebugStringW(L"old\n");
  }
  EXPECT_EQ(Machine::Current(), nullptr);
  EXPECT_EQ(FailureOf(Bare(device)), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(CloseHandle(device));
  Machine fresh;
  EXPECT_EQ(Open(PathOf(L"\\Device\\1")), INVALID_HANDLE_VALUE);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(event, nullptr);
  CloseHandle(event);
  EXPECT_TRUE(fresh.DebugOutput().empty());
}

// A reader that takes the debugger output while a notification thread still writes gets every
// line once, in order.
TEST(MachineLife, TakingDebugOutputLosesNoLineWrittenMeanwhile) {
  Machine machine;
  constexpr int kLines = 20000;
  std::atomic<bool> written{false};
  std::thread writer([&] {
    for (int i = 0; i < kLines; ++i) OutputDebugStringW(std::to_wstring(i).c_str());
    written = true;
  });
  std::vector<std::wstring> taken;
  for (bool last = false; !last;) {
    last = written;  // a take after the writer ended gets the rest
    for (auto& line : machine.TakeDebugOutput()) taken.push_back(std::move(line));
  }
  writer.join();
  ASSERT_EQ(taken.size(), static_cast<std::size_t>(kLines));
  for (int i = 0; i < kLines; ++i)
    ASSERT_EQ(taken[static_cast<std::size_t>(i)], std::to_wstring(i));
  EXPECT_TRUE(machine.DebugOutput().empty());
}

// A device id the machine never gave is a fault of the test, whatever member it reaches.
TEST(MachineLife, UnknownDeviceIdsThrowEverywhere) {
  Machine machine;
  const vesk::sim::DeviceId known = machine.AddDevice(Controller(L"\\Device\\1"));
  const vesk::sim::DeviceId unknown = known + 1;
  EXPECT_THROW(machine.RemoveDevice(unknown), std::out_of_range);
  EXPECT_THROW(machine.IsPresent(unknown), std::out_of_range);
  EXPECT_THROW(machine.NotifyDeviceHandles(unknown, CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE),
               std::out_of_range);
  EXPECT_THROW(machine.NotifyInterface(unknown, CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL),
               std::out_of_range);
  EXPECT_THROW(machine.OpenHandleCount(unknown), std::out_of_range);
  EXPECT_THROW(machine.Backend(unknown), std::out_of_range);
  EXPECT_TRUE(machine.IsPresent(known));
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
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  EXPECT_NE(mutex, nullptr);
  // A failed release leaves the mutex owned.
  machine.FailCalls(Api::ReleaseMutex, 1234);
  EXPECT_EQ(FailureOf(ReleaseMutex(mutex)), 1234u);
  EXPECT_TRUE(ReleaseMutex(mutex));
  machine.AddDevice(Controller(L"\\Device\\1"));
  HANDLE device = Open(PathOf(L"\\Device\\1"));
  machine.FailCalls(Api::DeviceIoControl, 1234);
  EXPECT_EQ(FailureOf(Bare(device)), 1234u);
  CloseHandle(device);
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

}  // namespace
