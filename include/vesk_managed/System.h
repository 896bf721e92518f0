// The few pieces of the managed runtime that the managed face uses, as plain C++: a common object
// base (so that Equals(object) and CompareTo(object) can be asked about any object), the
// exception family, Version, the event with subscription tokens and PropertyChanged.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace VESK_Managed::System {

// Reference-type objects of the managed face derive from Object.
class Object {
 public:
  virtual ~Object() = default;
};

// Base of the managed exceptions. Messages are kept as narrow (UTF-8) text so that what() works.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message(std::move(message)) {}
  const std::string& Message() const { return message; }
  const char* what() const noexcept override { return message.c_str(); }

 private:
  std::string message;
};

class NotSupportedException : public Exception {
 public:
  NotSupportedException() : Exception("Specified method is not supported.") {}
};

class ArgumentException : public Exception {
 public:
  using Exception::Exception;
};

// A member of an object that Dispose has released.
class ObjectDisposedException : public Exception {
 public:
  ObjectDisposedException() : Exception("Cannot access a disposed object.") {}
};

class KeyNotFoundException : public Exception {
 public:
  KeyNotFoundException() : Exception("The given key was not present in the dictionary.") {}
};

class SemaphoreFullException : public Exception {
 public:
  SemaphoreFullException()
      : Exception(
            "Adding the specified count to the semaphore would cause it to exceed its maximum "
            "count.") {}
};

// Stands for a native structured exception that reached managed code. Nothing on this platform
// raises one; the translation of native failures still knows it.
class SEHException : public Exception {
 public:
  using Exception::Exception;
  std::string ToString() const {
    return "System.Runtime.InteropServices.SEHException: " + Message();
  }
};

class Version : public Object {
 public:
  Version(int major, int minor, int build, int revision)
      : major(major), minor(minor), build(build), revision(revision) {}
  int Major() const { return major; }
  int Minor() const { return minor; }
  int Build() const { return build; }
  int Revision() const { return revision; }
  std::string ToString() const;
  bool operator==(const Version& other) const {
    return major == other.major && minor == other.minor && build == other.build &&
           revision == other.revision;
  }

 private:
  int major;
  int minor;
  int build;
  int revision;
};

// A multicast event. Handlers are called in subscription order on the raising thread, outside the
// event's lock, so a handler may subscribe or unsubscribe. Subscription is safe from any thread.
template <typename Args>
class Event {
 public:
  using Handler = std::function<void(const Object& sender, const Args& args)>;
  using Token = std::uint64_t;

  Token Subscribe(Handler handler) {
    std::lock_guard lock(guard);
    handlers.emplace(++lastToken, std::move(handler));
    return lastToken;
  }
  // False when the token is unknown (never issued or already unsubscribed).
  bool Unsubscribe(Token token) {
    std::lock_guard lock(guard);
    return handlers.erase(token) == 1;
  }
  bool HasHandlers() const {
    std::lock_guard lock(guard);
    return !handlers.empty();
  }
  void Raise(const Object& sender, const Args& args) const {
    std::map<Token, Handler> snapshot;
    {
      std::lock_guard lock(guard);
      if (handlers.empty()) return;
      snapshot = handlers;
    }
    for (const auto& [token, handler] : snapshot) handler(sender, args);
  }

 private:
  mutable std::mutex guard;
  std::map<Token, Handler> handlers;
  Token lastToken = 0;
};

namespace ComponentModel {

struct PropertyChangedEventArgs {
  std::string PropertyName;
};

// The INotifyPropertyChanged role: the event and the member that raises it.
class INotifyPropertyChanged : public Object {
 public:
  Event<PropertyChangedEventArgs> PropertyChanged;

 protected:
  void OnPropertyChanged(const char* propertyName) const {
    PropertyChanged.Raise(*this, PropertyChangedEventArgs{propertyName});
  }

  // A property setter: stores the value and raises the property's name.
  template <typename T>
  void SetProperty(T& field, T value, const char* propertyName) {
    field = std::move(value);
    OnPropertyChanged(propertyName);
  }
  // The step of an Update: sets the property only when the fresher value differs. True when it
  // did. The value is taken by copy because it usually comes from a packed native record.
  template <typename T>
  bool UpdateProperty(T& field, T value, const char* propertyName) {
    if (field == value) return false;
    SetProperty(field, std::move(value), propertyName);
    return true;
  }
};

}  // namespace ComponentModel

namespace Runtime::InteropServices {

// Narrow text in the system's ANSI code page, which for this library is Windows-1252 restricted
// to the characters that Latin-1 shares with it: U+0000 to U+007F and U+00A0 to U+00FF keep their
// value, every other character becomes '?'. One byte per character.
std::string StringToAnsi(const std::wstring& text);

}  // namespace Runtime::InteropServices

}  // namespace VESK_Managed::System
