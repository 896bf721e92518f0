// Turns configuration-manager notifications into the library's arrival, removal and
// removal-cancelled events, delivered on a thread of their own. The configuration manager's
// callback returns at once, except for a query-remove and a query-remove-failed: Windows decides
// a query-remove by the handles still open when the callbacks have answered, so those callbacks
// return only once their handlers have run.
//
// Lifetime: owners add their handlers to the events before they register and do not change them
// afterwards. Unregister (and the destructor) first ends the registration and then waits for
// every worker that is still raising an event, so a handler never runs on an owner that has been
// destroyed. A handler may destroy the listener's owner from its own worker: that worker is the
// only one not waited for, and it touches nothing of the listener once the handler has returned.
// If the callback waits for that handler, the destruction lets the callback return first (ending
// the registration waits for the callback). Handlers of the same event after such a handler still
// run, so it should be the last.
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

  // Registers for notifications about another open device in place of the current registration,
  // and returns the registration replaced, which still delivers until given to EndReplaced. When
  // the new registration fails the current one stays and the result is null. Never at the same
  // time as Unregister: the owner keeps them apart.
  HCMNOTIFICATION Reregister(HANDLE device);
  // Ends a registration replaced by Reregister (nothing for null). From a handler whose callback
  // waits for it, it first lets that callback return; the handler's own notification has then
  // been answered.
  void EndReplaced(HCMNOTIFICATION replaced);

  // Ends the registration (if any) and waits for the running workers; see the header comment.
  // Safe to call more than once.
  void Unregister();

  // Waits until no worker of this listener is raising an event; on one of its own workers, until
  // no other worker is.
  void WaitForWorkers();

  // The CM_NOTIFY_CALLBACK given to the configuration manager; the context is the listener.
  // Arrivals raise `arrival`, removal-class actions (including query-remove) raise `removal`,
  // query-remove-failed raises `removalCancelled`, each on a new worker thread; every other action
  // is ignored. Never vetoes: always ERROR_SUCCESS.
  // Handlers receive a copy of the event data that lives while they run (or null when there was
  // none), not the configuration manager's own buffer.
  static DWORD CALLBACK NotificationCallback(HCMNOTIFICATION notify, PVOID context,
                                             CM_NOTIFY_ACTION action,
                                             PCM_NOTIFY_EVENT_DATA eventData, DWORD eventDataSize);

  HCMNOTIFICATION notification;
  Event<_CM_NOTIFY_EVENT_DATA*> arrival;
  Event<_CM_NOTIFY_EVENT_DATA*> removal;
  // The removal asked for by a query-remove was refused: the device stays.
  Event<_CM_NOTIFY_EVENT_DATA*> removalCancelled;

 private:
  struct Workers;
  // On a worker of this listener whose callback waits for it, lets that callback return.
  void ReleaseCallback();
  // Raises `event` on a new worker thread; with `waitForHandlers` the callback returns only once
  // that worker's handlers have returned (or one of them let it go, see EndReplaced).
  void Dispatch(Event<_CM_NOTIFY_EVENT_DATA*>& event, PCM_NOTIFY_EVENT_DATA eventData,
                DWORD eventDataSize, bool waitForHandlers);

  // Shared with every worker, so that a worker can report its end even as the listener goes.
  std::shared_ptr<Workers> workers;
};

}  // namespace Vesk
