// Configuration-manager notifications raised by the simulated machine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "PlatformTestSupport.h"
#include "platform/simulated/Host.h"
#include "simulator/Machine.h"
#include "tests/Watchdog.h"

namespace {

using namespace std::chrono_literals;
using vesk::sim::Machine;
using vesk::test::Bare;
using vesk::test::Controller;
using vesk::test::FailureOf;
using vesk::test::Open;
using vesk::test::PathOf;

struct Seen {
  CM_NOTIFY_ACTION action;
  CM_NOTIFY_FILTER_TYPE type;
  GUID classGuid;
  std::wstring link;
  std::thread::id thread;
};

// Records every callback, copying the event data while it is valid.
struct Recorder {
  std::mutex lock;
  std::vector<Seen> seen;
  // What the callback does with a query-remove: close this handle, then answer.
  HANDLE closeOnQuery = nullptr;
  DWORD queryAnswer = ERROR_SUCCESS;

  static DWORD Callback(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                        PCM_NOTIFY_EVENT_DATA data, DWORD size) {
    auto* self = static_cast<Recorder*>(context);
    Seen s{action, data->FilterType, {}, {}, std::this_thread::get_id()};
    if (data->FilterType == CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE) {
      s.classGuid = data->u.DeviceInterface.ClassGuid;
      s.link = data->u.DeviceInterface.SymbolicLink;
      const auto expected = offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink) +
                            (s.link.size() + 1) * sizeof(WCHAR);
      EXPECT_EQ(size, expected);
    }
    std::lock_guard guard(self->lock);
    self->seen.push_back(s);
    if (action != CM_NOTIFY_ACTION_DEVICEQUERYREMOVE) return ERROR_SUCCESS;
    if (self->closeOnQuery != nullptr) CloseHandle(self->closeOnQuery);
    return self->queryAnswer;
  }
  std::vector<CM_NOTIFY_ACTION> Actions() {
    std::lock_guard guard(lock);
    std::vector<CM_NOTIFY_ACTION> actions;
    for (const auto& s : seen) actions.push_back(s.action);
    return actions;
  }
};

CM_NOTIFY_FILTER InterfaceFilter(const GUID& guid) {
  CM_NOTIFY_FILTER filter{};
  filter.cbSize = sizeof filter;
  filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
  filter.u.DeviceInterface.ClassGuid = guid;
  return filter;
}

CM_NOTIFY_FILTER HandleFilter(HANDLE handle) {
  CM_NOTIFY_FILTER filter{};
  filter.cbSize = sizeof filter;
  filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
  filter.u.DeviceHandle.hTarget = handle;
  return filter;
}

// A registration that must succeed.
template <class Context>
HCMNOTIFICATION Register(const CM_NOTIFY_FILTER& filter, Context& context,
                         PCM_NOTIFY_CALLBACK callback = Context::Callback) {
  HCMNOTIFICATION h = nullptr;
  EXPECT_EQ(
      CM_Register_Notification(const_cast<CM_NOTIFY_FILTER*>(&filter), &context, callback, &h),
      CR_SUCCESS);
  return h;
}

// Each registration sees what its filter names, in order, on a thread of the machine's.
TEST(Notifications, ArrivalAndRemovalReachTheirRegistrationsInOrderOnAnotherThread) {
  Machine machine;
  Recorder onClass, onOtherClass, onHandle, onBystander;
  HCMNOTIFICATION h1 = Register(InterfaceFilter(GUID_DEVINTERFACE_STORAGEPORT), onClass);
  HCMNOTIFICATION h2 = Register(InterfaceFilter(GUID_DEVCLASS_SCSIADAPTER), onOtherClass);
  const auto id = machine.AddDevice(Controller(L"\\Device\\1"));
  machine.AddDevice(Controller(L"\\Device\\2"));
  HANDLE device = Open(PathOf(L"\\Device\\1"));
  HANDLE bystander = Open(PathOf(L"\\Device\\2"));
  machine.WaitForNotifications();
  ASSERT_EQ(onClass.Actions(), (std::vector{CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL,
                                            CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL}));
  EXPECT_NE(onClass.seen[0].thread, std::this_thread::get_id());
  EXPECT_EQ(onClass.seen[0].type, CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE);
  EXPECT_TRUE(IsEqualGUID(onClass.seen[0].classGuid, GUID_DEVINTERFACE_STORAGEPORT));
  EXPECT_FALSE(onClass.seen[0].link.empty());
  EXPECT_TRUE(onOtherClass.Actions().empty());

  HCMNOTIFICATION h3 = Register(HandleFilter(device), onHandle);
  HCMNOTIFICATION h4 = Register(HandleFilter(bystander), onBystander);
  // A handle registration follows the device, not the handle.
  CloseHandle(device);
  machine.RemoveDevice(id);
  machine.RemoveDevice(id);  // a second removal changes nothing
  machine.WaitForNotifications();
  EXPECT_EQ(onHandle.Actions(), (std::vector{CM_NOTIFY_ACTION_DEVICEREMOVEPENDING,
                                             CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE}));
  EXPECT_EQ(onHandle.seen[0].type, CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE);
  EXPECT_TRUE(onBystander.Actions().empty());
  EXPECT_EQ(onClass.Actions().back(), CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL);
  EXPECT_EQ(onClass.Actions().size(), 3u);
  machine.NotifyDeviceHandles(id, CM_NOTIFY_ACTION_DEVICECUSTOMEVENT);
  machine.NotifyInterface(id, CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
  machine.WaitForNotifications();
  EXPECT_EQ(onHandle.Actions().back(), CM_NOTIFY_ACTION_DEVICECUSTOMEVENT);
  EXPECT_EQ(onClass.Actions().back(), CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
  for (auto h : {h1, h2, h3, h4}) EXPECT_EQ(CM_Unregister_Notification(h), CR_SUCCESS);
  EXPECT_EQ(CM_Unregister_Notification(h1), CR_INVALID_POINTER);
  CloseHandle(bystander);
}

// A surprise removal is not asked; an orderly one is refused by a veto or by a handle that is
// still open once the callbacks have answered. A handle left open on a removed device fails its
// calls with ERROR_DEVICE_NOT_CONNECTED; on a device that stayed it still reaches the device.
struct RemovalCase {
  const char* name;
  Machine::Removal removal;
  bool closeOnQuery;
  DWORD answer;
  std::vector<CM_NOTIFY_ACTION> actions;
};

class Removal : public ::testing::TestWithParam<RemovalCase> {};

TEST_P(Removal, DeliversTheSequenceWindowsDelivers) {
  const auto& c = GetParam();
  Machine machine;
  Recorder onHandle, onClass;
  HCMNOTIFICATION classRegistration =
      Register(InterfaceFilter(GUID_DEVINTERFACE_STORAGEPORT), onClass);
  const auto id = machine.AddDevice(Controller(L"\\Device\\R"));
  HANDLE device = Open(PathOf(L"\\Device\\R"));
  HANDLE observer = Open(PathOf(L"\\Device\\R"));
  HCMNOTIFICATION handleRegistration = Register(HandleFilter(observer), onHandle);
  CloseHandle(observer);
  if (c.closeOnQuery) onHandle.closeOnQuery = device;
  onHandle.queryAnswer = c.answer;
  machine.RemoveDevice(id, c.removal);
  machine.WaitForNotifications();

  EXPECT_EQ(onHandle.Actions(), c.actions);
  const bool removed = c.actions.back() == CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE;
  EXPECT_EQ(machine.IsPresent(id), !removed);
  EXPECT_EQ(onClass.Actions().back(), removed ? CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL
                                              : CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
  if (!c.closeOnQuery) {
    EXPECT_EQ(FailureOf(Bare(device)),
              removed ? ERROR_DEVICE_NOT_CONNECTED : ERROR_INVALID_FUNCTION);
    CloseHandle(device);
  }
  for (auto h : {classRegistration, handleRegistration}) CM_Unregister_Notification(h);
}

INSTANTIATE_TEST_SUITE_P(
    Notifications, Removal,
    ::testing::Values(
        RemovalCase{"Surprise",
                    Machine::Removal::Surprise,
                    false,
                    ERROR_SUCCESS,
                    {CM_NOTIFY_ACTION_DEVICEREMOVEPENDING, CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE}},
        RemovalCase{"OrderlyWithEveryHandleClosed",
                    Machine::Removal::Orderly,
                    true,
                    ERROR_SUCCESS,
                    {CM_NOTIFY_ACTION_DEVICEQUERYREMOVE, CM_NOTIFY_ACTION_DEVICEREMOVEPENDING,
                     CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE}},
        RemovalCase{"OrderlyWithAHandleOpen",
                    Machine::Removal::Orderly,
                    false,
                    ERROR_SUCCESS,
                    {CM_NOTIFY_ACTION_DEVICEQUERYREMOVE, CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED}},
        RemovalCase{
            "OrderlyVetoed",
            Machine::Removal::Orderly,
            true,
            ERROR_CANCELLED,
            {CM_NOTIFY_ACTION_DEVICEQUERYREMOVE, CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED}}),
    [](const auto& info) { return std::string(info.param.name); });

// Without a machine: a well-formed registration succeeds and hears nothing.
TEST(Notifications, MisformedFiltersAreRefused) {
  ASSERT_EQ(Machine::Current(), nullptr);
  Recorder recorder;
  HCMNOTIFICATION h = nullptr;
  auto filter = InterfaceFilter(GUID_DEVINTERFACE_STORAGEPORT);
  filter.cbSize = 400;
  EXPECT_EQ(CM_Register_Notification(&filter, &recorder, Recorder::Callback, &h), CR_INVALID_DATA);
  filter.cbSize = sizeof filter;
  EXPECT_EQ(CM_Register_Notification(nullptr, &recorder, Recorder::Callback, &h),
            CR_INVALID_POINTER);
  EXPECT_EQ(CM_Register_Notification(&filter, &recorder, nullptr, &h), CR_INVALID_POINTER);
  // The emulation counts what is held, for tests that look for leaks.
  const std::size_t handles = vesk::platform::OpenHandleCount();
  const std::size_t registrations = vesk::platform::NotificationRegistrationCount();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto onEvent = HandleFilter(event);
  EXPECT_EQ(CM_Register_Notification(&onEvent, &recorder, Recorder::Callback, &h), CR_INVALID_DATA);
  h = Register(filter, recorder);
  EXPECT_EQ(vesk::platform::OpenHandleCount(), handles + 1);
  EXPECT_EQ(vesk::platform::NotificationRegistrationCount(), registrations + 1);
  EXPECT_EQ(CM_Unregister_Notification(h), CR_SUCCESS);
  CloseHandle(event);
  EXPECT_TRUE(recorder.Actions().empty());
  EXPECT_EQ(vesk::platform::OpenHandleCount(), handles);
  EXPECT_EQ(vesk::platform::NotificationRegistrationCount(), registrations);
}

// A callback that blocks until released, to catch unregistration while it runs.
struct Blocker {
  std::mutex lock;
  std::condition_variable changed;
  bool entered = false, release = false, returned = false;
  HCMNOTIFICATION toUnregister = nullptr;
  CONFIGRET unregisterResult = 0xFFFF;

  static DWORD Callback(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION, PCM_NOTIFY_EVENT_DATA,
                        DWORD) {
    auto* self = static_cast<Blocker*>(context);
    if (self->toUnregister) self->unregisterResult = CM_Unregister_Notification(self->toUnregister);
    std::unique_lock guard(self->lock);
    self->entered = true;
    self->changed.notify_all();
    self->changed.wait(guard, [&] { return self->release; });
    self->returned = true;
    return ERROR_SUCCESS;
  }
};

// Unregistering waits for a running callback. From a callback, a registration may unregister
// another one, which is then not called in the same delivery, or itself.
TEST(Notifications, UnregisterWaitsForTheRunningCallbackAndMayBeCalledFromOne) {
  Vesk::test::Watchdog watchdog("unregistering during and from callbacks");
  Machine machine;
  Blocker blocker, self;
  Recorder later;
  HCMNOTIFICATION h = Register(InterfaceFilter(GUID_DEVINTERFACE_STORAGEPORT), blocker);
  blocker.toUnregister = Register(InterfaceFilter(GUID_DEVINTERFACE_STORAGEPORT), later);
  self.toUnregister = Register(InterfaceFilter(GUID_DEVINTERFACE_STORAGEPORT), self);
  self.release = true;
  machine.AddDevice(Controller(L"\\Device\\1"));
  {
    std::unique_lock guard(blocker.lock);
    blocker.changed.wait(guard, [&] { return blocker.entered; });
  }
  std::atomic<bool> unregistered{false};
  std::thread unregisterer([&] {
    EXPECT_EQ(CM_Unregister_Notification(h), CR_SUCCESS);
    unregistered = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(unregistered.load());
  {
    std::lock_guard guard(blocker.lock);
    blocker.release = true;
  }
  blocker.changed.notify_all();
  unregisterer.join();
  EXPECT_TRUE(blocker.returned);
  machine.WaitForNotifications();
  EXPECT_EQ(blocker.unregisterResult, CR_SUCCESS);
  EXPECT_TRUE(later.Actions().empty());
  EXPECT_EQ(self.unregisterResult, CR_SUCCESS);
  // Nothing reaches them any more.
  blocker.entered = self.entered = false;
  machine.AddDevice(Controller(L"\\Device\\2"));
  machine.WaitForNotifications();
  EXPECT_FALSE(blocker.entered);
  EXPECT_FALSE(self.entered);
}

}  // namespace
