// A small publish-subscribe event: a list of handlers called in subscription order.
//
// Thread safety: an Event takes no lock. Owners add their handlers before anything can raise the
// event (before registering for notifications) and do not change them afterwards; from then on
// Raise only reads the list and may run on several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <utility>
#include <vector>

namespace Vesk {

namespace detail {
// One counter for every handler of every event type in the process, so that an id names one
// subscription wherever it is used. Constant-initialized: usable from static constructors.
inline std::atomic<std::uint32_t> nextEventHandlerId{0};
}  // namespace detail

template <typename T>
struct EventHandler {
  std::function<void(T)> function;
  std::uint32_t id;

  // Takes the next process-wide id; the first handler of a process gets 1. Copies keep the id.
  explicit EventHandler(std::function<void(T)> callable)
      : function(std::move(callable)), id(++detail::nextEventHandlerId) {}

  bool operator==(const EventHandler& other) const { return id == other.id; }
};

template <typename T>
class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  virtual ~Event() = default;

  // Appends a copy of the handler; returns its id.
  virtual std::uint32_t AddHandler(const EventHandler<T>& handler) {
    handlers.push_back(handler);
    return handler.id;
  }

  // Removes every handler with this id.
  virtual void RemoveHandler(std::uint32_t id) {
    handlers.remove_if([id](const EventHandler<T>& handler) { return handler.id == id; });
  }

  virtual void RemoveHandler(const EventHandler<T>& handler) { RemoveHandler(handler.id); }

  // Calls every non-empty handler from first to last. An exception from a handler leaves Raise at
  // once: the handlers after it do not see this argument.
  //
  // A handler may destroy the event (the plug-and-play listener's owner may be destroyed by its
  // own handler), so the handlers are called through a copy: once the first one runs, nothing of
  // the event is read any more. The handlers after such a handler still run.
  virtual void Raise(T argument) {
    std::vector<std::function<void(T)>> calls;
    calls.reserve(handlers.size());
    for (const EventHandler<T>& handler : handlers) {
      if (handler.function) calls.push_back(handler.function);
    }
    for (const std::function<void(T)>& call : calls) call(argument);
  }

 private:
  std::list<EventHandler<T>> handlers;
};

}  // namespace Vesk
