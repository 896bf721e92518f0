#include "device/PnpListener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DeviceTestSupport.h"
#include "diagnostics/Logger.h"
#include "tests/Watchdog.h"

namespace Vesk::test {
namespace {

// Counts the deliveries of both events of a listener.
struct CountingListener {
  CountingListener() {
    listener.arrival.AddHandler(EventHandler<_CM_NOTIFY_EVENT_DATA*>([this](auto) { ++arrivals; }));
    listener.removal.AddHandler(EventHandler<_CM_NOTIFY_EVENT_DATA*>([this](auto) { ++removals; }));
    listener.removalCancelled.AddHandler(
        EventHandler<_CM_NOTIFY_EVENT_DATA*>([this](auto) { ++cancellations; }));
  }

  DWORD Notify(CM_NOTIFY_ACTION action, PVOID context) {
    return PnpListener::NotificationCallback(nullptr, context, action, nullptr, 0);
  }

  std::atomic<int> arrivals{0};
  std::atomic<int> removals{0};
  std::atomic<int> cancellations{0};
  PnpListener listener;
};

// Arrivals and removals are traced for a verbose consumer as they are raised.
TEST(PnpListener, EachActionRaisesItsEventAndNoneIsVetoed) {
  vesk::sim::Machine machine;
  auto session = machine.StartTrace(Logger::providerId, 5);
  // action, arrivals, removals, cancelled removals
  const int actions[][4] = {{0, 1, 0, 0}, {1, 0, 1, 0}, {2, 0, 1, 0},  {3, 0, 0, 1},
                            {4, 0, 0, 0}, {5, 0, 1, 0}, {6, 0, 0, 0},  {7, 0, 0, 0},
                            {8, 1, 0, 0}, {9, 0, 1, 0}, {10, 0, 0, 0}, {0x7FFFFFFF, 0, 0, 0}};
  for (const auto& [action, arrivals, removals, cancellations] : actions) {
    SCOPED_TRACE(action);
    session->Clear();
    CountingListener counting;
    EXPECT_EQ(counting.Notify(static_cast<CM_NOTIFY_ACTION>(action), &counting.listener),
              ERROR_SUCCESS);
    counting.listener.WaitForWorkers();
    EXPECT_EQ(counting.arrivals, arrivals);
    EXPECT_EQ(counting.removals, removals);
    EXPECT_EQ(counting.cancellations, cancellations);
    std::vector<std::string> traced;
    for (const auto& event : session->Events()) {
      EXPECT_EQ(event.name, "PNP Event");
      for (const auto& field : event.fields) traced.push_back(field.value);
    }
    EXPECT_EQ(traced, arrivals   ? std::vector<std::string>{"New device detected."}
                      : removals ? std::vector<std::string>{"Device removed."}
                                 : std::vector<std::string>{});
  }
  // Without a context there is no listener to raise anything on.
  CountingListener counting;
  EXPECT_EQ(counting.Notify(CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, nullptr), ERROR_SUCCESS);
  counting.listener.WaitForWorkers();
  EXPECT_EQ(counting.arrivals, 0);
}

// The worker survives the exception and the listener goes on delivering.
TEST(PnpListener, ThrowingHandlerEndsOnlyItsOwnDelivery) {
  PnpListener listener;
  std::atomic<int> before{0};
  std::atomic<int> after{0};
  listener.removal.AddHandler(EventHandler<_CM_NOTIFY_EVENT_DATA*>([&](auto) { ++before; }));
  listener.removal.AddHandler(EventHandler<_CM_NOTIFY_EVENT_DATA*>(
      [&](auto) -> void { throw std::runtime_error("handler failed"); }));
  listener.removal.AddHandler(EventHandler<_CM_NOTIFY_EVENT_DATA*>([&](auto) { ++after; }));

  for (const auto action :
       {CM_NOTIFY_ACTION_DEVICEQUERYREMOVE, CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE}) {
    PnpListener::NotificationCallback(nullptr, &listener, action, nullptr, 0);
    listener.WaitForWorkers();
  }
  EXPECT_EQ(before, 2);
  EXPECT_EQ(after, 0);
}

// Each notification's handlers run once, however quickly they return: a worker that ends before
// its dispatcher lets go of it must neither be lost (the wait for it would never end) nor run
// another worker's handlers.
TEST(PnpListener, QuickHandlersEachRunOnceAndTheWaitForThemEnds) {
  Watchdog watchdog("waiting for the workers of quick handlers");
  // Several notifying threads, so that one is now and then held up between starting a worker and
  // letting go of it.
  constexpr int kThreads = 8;
  constexpr int kEach = 400;
  std::vector<std::atomic<int>> runs(kThreads * kEach);
  PnpListener listener;
  listener.arrival.AddHandler(EventHandler<_CM_NOTIFY_EVENT_DATA*>(
      [&](_CM_NOTIFY_EVENT_DATA* copy) { ++runs[copy->u.DeviceInstance.InstanceId[0]]; }));
  std::vector<std::thread> notifiers;
  for (int t = 0; t < kThreads; ++t) {
    notifiers.emplace_back([&listener, t] {
      for (int i = 0; i < kEach; ++i) {
        _CM_NOTIFY_EVENT_DATA data{};
        data.u.DeviceInstance.InstanceId[0] = static_cast<WCHAR>(t * kEach + i);
        PnpListener::NotificationCallback(
            nullptr, &listener, CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, &data, sizeof data);
      }
    });
  }
  for (auto& notifier : notifiers) notifier.join();
  listener.WaitForWorkers();
  int once = 0;
  for (const auto& count : runs) once += count == 1 ? 1 : 0;
  EXPECT_EQ(once, kThreads * kEach);
}

// A handler may destroy the listener's owner from its own worker: the destruction waits for the
// owner's other workers, never for the one it runs on, and nothing of the destroyed listener is
// touched once the handler has returned. Handlers get a copy of the event data, which outlives the
// callback.
TEST(PnpListener, HandlerMayDestroyTheOwnerFromItsOwnWorker) {
  Watchdog watchdog("a handler destroying its listener's owner");
  struct Owner {
    explicit Owner(std::atomic<bool>& gone) : marker{gone} {}
    struct Marker {
      std::atomic<bool>& gone;
      ~Marker() { gone = true; }  // runs after the listener's destructor has returned
    } marker;
    PnpListener listener;
  };
  std::atomic<bool> destroyed{false};
  std::atomic<bool> destroyedWhileOtherRan{true};
  BlockingBackend gate;
  ThreadEnd destroyerEnd;
  auto owner = std::make_unique<Owner>(destroyed);
  std::atomic<int> filterType{-1};
  owner->listener.arrival.AddHandler(
      EventHandler<_CM_NOTIFY_EVENT_DATA*>([&](_CM_NOTIFY_EVENT_DATA* copy) {
        vesk::sim::IoControl none;
        gate.Control(none);
        destroyedWhileOtherRan = destroyed.load();
        if (copy != nullptr) filterType = copy->FilterType;
      }));
  owner->listener.removal.AddHandler(EventHandler<_CM_NOTIFY_EVENT_DATA*>([&](auto) {
    destroyerEnd.Arm();
    owner.reset();
  }));
  PnpListener* listener = &owner->listener;

  _CM_NOTIFY_EVENT_DATA data{};
  data.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
  PnpListener::NotificationCallback(nullptr, listener, CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL,
                                    &data, sizeof data);
  ASSERT_TRUE(gate.WaitEntered());
  std::memset(&data, 0xFF, sizeof data);
  PnpListener::NotificationCallback(nullptr, listener, CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL,
                                    &data, sizeof data);
  Sleep(100);  // time for the destruction to go wrong by not waiting for the blocked worker
  EXPECT_FALSE(destroyed);
  gate.Release();
  destroyerEnd.Wait();

  EXPECT_TRUE(destroyed);
  EXPECT_FALSE(destroyedWhileOtherRan);
  EXPECT_EQ(filterType, CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE);
}

// The callback answers a query-remove only once its handlers have run. A removal handler that
// destroys the owner ends the registration from the worker that callback waits for: the callback
// is let go first, so neither waits for the other, and the removal goes ahead because the owner
// closed its file before.
TEST(PnpListener, HandlerMayDestroyTheOwnerOnAQueryRemove) {
  Watchdog watchdog("a query-remove handler destroying its listener's owner");
  vesk::sim::Machine machine;
  const std::wstring pdoName = UniquePdoName();
  const auto id = AddController(machine, pdoName, std::make_shared<ScriptedBackend>());
  struct Owner {
    explicit Owner(HANDLE file) : file(file) {}
    ~Owner() { CloseHandle(file); }
    HANDLE file;
    PnpListener listener;
  };
  ThreadEnd destroyerEnd;
  // Remove-complete may reach the listener while it is being destroyed: only the first removal
  // destroys.
  std::atomic<Owner*> owner{new Owner(OpenDevice(pdoName))};
  owner.load()->listener.removal.AddHandler(EventHandler<_CM_NOTIFY_EVENT_DATA*>([&](auto) {
    if (Owner* doomed = owner.exchange(nullptr)) {
      destroyerEnd.Arm();
      delete doomed;
    }
  }));
  ASSERT_TRUE(owner.load()->listener.Register(owner.load()->file));

  machine.RemoveDevice(id, vesk::sim::Machine::Removal::Orderly);
  machine.WaitForNotifications();
  EXPECT_FALSE(machine.IsPresent(id));
  EXPECT_EQ(owner.load(), nullptr);
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
  destroyerEnd.Wait();
}

// --- through the configuration manager of the simulated machine -----------------------------

// An interface registration sees arrivals and removals until unregistered; a device-handle
// registration sees its device's surprise removal once: remove-pending raises nothing.
TEST(PnpListener, InterfaceRegistrationSeesArrivalsAndRemovalsUntilUnregistered) {
  vesk::sim::Machine machine;
  CountingListener counting, onHandle;
  DirtyStack();
  ASSERT_TRUE(counting.listener.Register(GUID_DEVINTERFACE_STORAGEPORT));

  const std::wstring pdoName = UniquePdoName();
  const auto id = AddController(machine, pdoName, std::make_shared<ScriptedBackend>());
  HANDLE file = OpenDevice(pdoName);
  DirtyStack();
  ASSERT_TRUE(onHandle.listener.Register(file));
  machine.RemoveDevice(id);
  machine.WaitForNotifications();
  counting.listener.WaitForWorkers();
  onHandle.listener.WaitForWorkers();
  EXPECT_EQ(counting.arrivals, 1);
  EXPECT_EQ(counting.removals, 1);
  EXPECT_EQ(onHandle.removals, 1);
  CloseHandle(file);

  counting.listener.Unregister();
  EXPECT_EQ(counting.listener.notification, nullptr);
  // A refused registration is reported, and the listener stays silent as well.
  machine.FailCalls(vesk::sim::Api::CM_Register_Notification, CR_OUT_OF_MEMORY);
  EXPECT_FALSE(counting.listener.Register(GUID_DEVINTERFACE_STORAGEPORT));
  AddController(machine, UniquePdoName(), std::make_shared<ScriptedBackend>());
  machine.WaitForNotifications();
  counting.listener.WaitForWorkers();
  EXPECT_EQ(counting.arrivals, 1);
}

}  // namespace
}  // namespace Vesk::test
