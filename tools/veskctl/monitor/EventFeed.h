// What `veskctl monitor` reports: the managed face's own notifications turned into events.
//
// Every addition or removal in the facade's collections and every property notification of its
// objects becomes one event, with the old and the new value as number and name. A property
// notification says only which property changed, so the feed keeps the last value it saw of each
// property to tell the old one. On top of those, a few derived events name what an administrator
// acts on: a volume degraded, failed or back to normal, a drive failed or missing, a spare taken
// into an array, background work started, finished or failed, a controller arrived or removed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/veskctl/journal/Event.h"
#include "vesk_managed/StorageManagementBase.h"

namespace veskctl {

// A text of the managed face (driver texts, identifiers) as veskctl prints it.
std::string Narrow(const std::wstring& text);

// Follows one facade: subscribes to its collections and to every object in them, present or
// added later. Notifications arrive on the thread that raised them (the notification thread for
// controller arrivals and removals), so the events are queued under a lock and taken with Take.
// The facade must outlive the feed.
class EventFeed {
 public:
  explicit EventFeed(VESK_Managed::StorageManagementBase& facade);
  ~EventFeed();
  EventFeed(const EventFeed&) = delete;
  EventFeed& operator=(const EventFeed&) = delete;

  // While quiet, additions are taken in without events (a population that the snapshot already
  // reported); while `present`, an addition is a "present" event and derives nothing.
  enum class Mode { Quiet, Present, Live };
  void SetMode(Mode mode);

  // The events queued so far, in the order they happened. With `known`, also what the feed holds
  // right after them (Known), when there are any: the two are taken together, so that the state
  // matches the events.
  std::vector<MonitorEvent> Take(nlohmann::json* known = nullptr);

  // Every element as the feed holds it now, with the values it last saw: the last-known state a
  // later feed compares with (Since).
  nlohmann::json Known() const;
  // Queues the events of everything that changed between `known` (what Known gave, maybe in
  // another process) and what the feed holds now, as if each change had been seen as it happened:
  // elements added and removed, every property that differs, and what derives from them.
  void Since(const nlohmann::json& known);
  // Queues a `present` event for every element the feed holds: for a first look with nothing
  // known before it.
  void Present();

 private:
  using Observable = VESK_Managed::System::ComponentModel::INotifyPropertyChanged;
  using Token = VESK_Managed::System::Event<
      VESK_Managed::System::ComponentModel::PropertyChangedEventArgs>::Token;
  // An object of the facade as the feed last saw it.
  struct Watched {
    std::shared_ptr<Observable> object;
    std::string kind, id, name;
    std::map<std::string, EventValue> values;
    Token token = 0;
    std::shared_ptr<Observable> scsi;  // a drive's SCSI address raises on its own object
    Token scsiToken = 0;
    std::uint64_t order = 0;  // when it was added: elements are listed in the order they came
  };

  template <typename Dictionary>
  void WatchCollection(Dictionary& dictionary, const char* kind);
  void Add(const std::shared_ptr<Observable>& object, const std::string& kind, bool present);
  void Remove(const Observable* object);
  void Changed(const Observable* object, const std::string& property);
  void Forget(Watched& w);
  MonitorEvent About(const Watched& w, const std::string& kind) const;
  void Derive(const Watched& w, const std::string& property,
              const std::optional<EventValue>& oldValue, const EventValue& newValue);
  void Gone(const Watched& w);
  void Appeared(const Watched& w, bool present);
  std::vector<const Watched*> InOrder() const;
  nlohmann::json KnownLocked() const;

  mutable std::mutex lock;
  Mode mode = Mode::Live;
  std::vector<MonitorEvent> queued;
  std::map<const Observable*, Watched> watched;
  std::uint64_t added = 0;
  // Volumes seen degraded or failed and not normal since: their return is an event.
  std::set<std::string> impairedVolumes;
  std::vector<std::function<void()>> collectionSubscriptions;
};

}  // namespace veskctl
