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
  virtual void Raise(T argument) {
    for (const EventHandler<T>& handler : handlers) {
      if (handler.function) handler.function(argument);
    }
  }

 private:
  std::list<EventHandler<T>> handlers;
};

}  // namespace Vesk
