#include "device/PnpListener.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "diagnostics/Logger.h"

namespace Vesk {

struct PnpListener::Workers {
  std::mutex lock;
  // Signalled when a worker ends and when a waiting callback is let go.
  std::condition_variable changed;
  std::size_t running = 0;
};

namespace {

// The worker state of the listener whose handler the current thread runs, if any. A handler that
// destroys the listener's owner waits for the workers on a worker that is itself still counted.
thread_local const void* ownWorkers = nullptr;
// On a worker whose callback waits for it: the flag that lets that callback return, guarded by
// the workers' lock. Plain pointers only: no thread-local object with a destructor runs on Windows.
thread_local bool* heldCallback = nullptr;

// The configuration manager's event data lives only while its callback runs; a worker gets its own
// copy, at least as large as the fixed part of the record so that reading its header is safe.
std::unique_ptr<std::uint64_t[]> CopyEventData(PCM_NOTIFY_EVENT_DATA eventData, DWORD size) {
  if (eventData == nullptr) return nullptr;
  std::size_t bytes = std::max<std::size_t>(size, sizeof(_CM_NOTIFY_EVENT_DATA));
  std::unique_ptr<std::uint64_t[]> copy(new std::uint64_t[(bytes + 7) / 8]());
  std::memcpy(copy.get(), eventData, size);
  return copy;
}

}  // namespace

PnpListener::PnpListener() : notification(nullptr), workers(std::make_shared<Workers>()) {}

PnpListener::~PnpListener() { Unregister(); }

bool PnpListener::Register(PCM_NOTIFY_FILTER filter) {
  return CM_Register_Notification(filter, this, NotificationCallback, &notification) == CR_SUCCESS;
}

bool PnpListener::Register(HANDLE device) {
  CM_NOTIFY_FILTER filter;
  std::memset(&filter, 0, sizeof filter);
  filter.cbSize = sizeof filter;
  filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
  filter.u.DeviceHandle.hTarget = device;
  return Register(&filter);
}

bool PnpListener::Register(const GUID& interfaceClass) {
  CM_NOTIFY_FILTER filter;
  std::memset(&filter, 0, sizeof filter);
  filter.cbSize = sizeof filter;
  filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
  filter.u.DeviceInterface.ClassGuid = interfaceClass;
  return Register(&filter);
}

HCMNOTIFICATION PnpListener::Reregister(HANDLE device) {
  const HCMNOTIFICATION replaced = notification;
  notification = nullptr;
  if (Register(device)) return replaced;
  notification = replaced;
  return nullptr;
}

void PnpListener::EndReplaced(HCMNOTIFICATION replaced) {
  if (replaced == nullptr) return;
  // The registration's callback may be the one waiting for this handler, and ending the
  // registration waits for its callbacks.
  ReleaseCallback();
  CM_Unregister_Notification(replaced);
}

void PnpListener::Unregister() {
  // A handler that destroys the owner would otherwise wait here for the callback that waits for
  // that handler.
  ReleaseCallback();
  // Once this returns the configuration manager starts no new callback, so after the wait below
  // nothing of this listener runs any more.
  if (notification != nullptr) {
    CM_Unregister_Notification(notification);
    notification = nullptr;
  }
  WaitForWorkers();
}

void PnpListener::WaitForWorkers() {
  // Called from one of this listener's handlers, wait for the other workers only: waiting for
  // this one as well would never end.
  const std::size_t self = ownWorkers == workers.get() ? 1 : 0;
  std::unique_lock<std::mutex> lock(workers->lock);
  workers->changed.wait(lock, [this, self] { return workers->running == self; });
}

void PnpListener::ReleaseCallback() {
  if (ownWorkers != workers.get() || heldCallback == nullptr) return;
  std::lock_guard<std::mutex> lock(workers->lock);
  *heldCallback = true;
  heldCallback = nullptr;
  workers->changed.notify_all();
}

DWORD CALLBACK PnpListener::NotificationCallback(HCMNOTIFICATION, PVOID context,
                                                 CM_NOTIFY_ACTION action,
                                                 PCM_NOTIFY_EVENT_DATA eventData,
                                                 DWORD eventDataSize) {
  if (context == nullptr) return ERROR_SUCCESS;
  auto* listener = static_cast<PnpListener*>(context);
  switch (static_cast<DWORD>(action)) {
    case CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL:
    case CM_NOTIFY_ACTION_DEVICEINSTANCESTARTED:
      if (Logger::IsEnabled()) Logger::Write("New device detected.");
      listener->Dispatch(listener->arrival, eventData, eventDataSize, false);
      break;
    case CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL:
    case CM_NOTIFY_ACTION_DEVICEQUERYREMOVE:
    case CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE:
    case CM_NOTIFY_ACTION_DEVICEINSTANCEREMOVED:
      if (Logger::IsEnabled()) Logger::Write("Device removed.");
      // Windows refuses a query-remove while a handle to the device is still open when the
      // callback answers, so the handlers that close it must have run by then.
      listener->Dispatch(listener->removal, eventData, eventDataSize,
                         action == CM_NOTIFY_ACTION_DEVICEQUERYREMOVE);
      break;
    case CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED:
      // Handles closed on the query are open again once the refusal has been delivered.
      listener->Dispatch(listener->removalCancelled, eventData, eventDataSize, true);
      break;
    default:
      // Remove-pending, custom events, enumeration and unknown actions.
      break;
  }
  // Never veto a query-remove.
  return ERROR_SUCCESS;
}

void PnpListener::Dispatch(Event<_CM_NOTIFY_EVENT_DATA*>& event, PCM_NOTIFY_EVENT_DATA eventData,
                           DWORD eventDataSize, bool waitForHandlers) {
  // Nothing may leave the configuration manager's callback: when no copy or no thread can be had,
  // this one notification is lost.
  try {
    std::unique_ptr<std::uint64_t[]> data = CopyEventData(eventData, eventDataSize);
    // Held by the waiting callback itself: a handler may destroy this listener before the
    // callback has returned.
    const std::shared_ptr<Workers> state = workers;
    const std::shared_ptr<bool> answered =
        waitForHandlers ? std::make_shared<bool>(false) : nullptr;
    {
      std::lock_guard<std::mutex> lock(state->lock);
      ++state->running;
    }
    // MinGW's thread library corrupts its own thread records when a thread is detached after its
    // function has returned: threads started later then run another's function or none at all.
    // So a worker begins only once its dispatcher has let go of it.
    std::promise<void> released;
    std::thread worker;
    try {
      worker = std::thread(
          [&event, data = std::move(data), state, answered, go = released.get_future()]() mutable {
            go.wait();
            ownWorkers = state.get();
            heldCallback = answered.get();
            try {
              event.Raise(reinterpret_cast<_CM_NOTIFY_EVENT_DATA*>(data.get()));
            } catch (...) {
              // A failing handler ends this one delivery, nothing else.
            }
            // A handler may have destroyed the listener with `event`: from here on only what this
            // worker holds itself is touched.
            data.reset();
            std::lock_guard<std::mutex> lock(state->lock);
            if (answered) *answered = true;
            --state->running;
            // Waiters wait for 0, or for 1 on a worker that destroys the listener; a callback waits
            // for its answer.
            state->changed.notify_all();
          });
    } catch (...) {
      std::lock_guard<std::mutex> lock(state->lock);
      --state->running;
      state->changed.notify_all();
      return;
    }
    worker.detach();
    released.set_value();
    if (answered) {
      std::unique_lock<std::mutex> lock(state->lock);
      state->changed.wait(lock, [&answered] { return *answered; });
    }
  } catch (...) {
  }
}

}  // namespace Vesk
