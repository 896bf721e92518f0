// Turns configuration-manager notifications into the library's arrival and removal events,
// delivered on a thread of their own so that the configuration manager's callback returns at once.
//
// Lifetime: owners add their handlers to `arrival` and `removal` before they register and do not
// change them afterwards. Unregister (and the destructor) first ends the registration and then
// waits for every worker that is still raising an event, so a handler never runs on an owner that
// has been destroyed. A handler may destroy the listener's owner from its own worker: that worker
// is the only one not waited for, and it touches nothing of the listener once the handler has
// returned. Handlers of the same event after such a handler still run, so it should be the last.
#pragma once

#include <memory>

#include "device/Event.h"
#include "platform/win32.h"

namespace Vesk {

class PnpListener {
 public:
  PnpListener();
  ~PnpListener();
  PnpListener(const PnpListener&) = delete;
  PnpListener& operator=(const PnpListener&) = delete;

  // CM_Register_Notification with this listener as context and NotificationCallback as callback;
  // true when the configuration manager accepted it. The listener stays silent otherwise.
  bool Register(PCM_NOTIFY_FILTER filter);
  // Notifications about one open device (removal, query-remove, ...).
  bool Register(HANDLE device);
  // Arrivals and removals of the interfaces of one device-interface class.
  bool Register(const GUID& interfaceClass);

  // Ends the registration (if any) and waits for the running workers; see the header comment.
  // Safe to call more than once.
  void Unregister();

  // Waits until no worker of this listener is raising an event; on one of its own workers, until
  // no other worker is.
  void WaitForWorkers();

  // The CM_NOTIFY_CALLBACK given to the configuration manager; the context is the listener.
  // Arrivals raise `arrival`, removal-class actions (including query-remove) raise `removal`, each
  // on a new worker thread; every other action is ignored. Never vetoes: always ERROR_SUCCESS.
  // Handlers receive a copy of the event data that lives while they run (or null when there was
  // none), not the configuration manager's own buffer.
  static DWORD CALLBACK NotificationCallback(HCMNOTIFICATION notify, PVOID context,
                                             CM_NOTIFY_ACTION action,
                                             PCM_NOTIFY_EVENT_DATA eventData, DWORD eventDataSize);

  HCMNOTIFICATION notification;
  Event<_CM_NOTIFY_EVENT_DATA*> arrival;
  Event<_CM_NOTIFY_EVENT_DATA*> removal;

 private:
  struct Workers;
  // Raises `event` on a new worker thread; with `waitForHandlers` the callback returns only once
  // that worker has ended.
  void Dispatch(Event<_CM_NOTIFY_EVENT_DATA*>& event, PCM_NOTIFY_EVENT_DATA eventData,
                DWORD eventDataSize, bool waitForHandlers);

  // Shared with every worker, so that a worker can report its end even as the listener goes.
  std::shared_ptr<Workers> workers;
};

}  // namespace Vesk
