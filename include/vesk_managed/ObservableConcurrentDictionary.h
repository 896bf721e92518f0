// Components.ObservableConcurrentDictionary: a thread-safe dictionary that tells its subscribers
// about every addition, removal and replacement.
//
// Thread safety: every member may be called from any thread. Notifications are raised on the
// thread that changed the dictionary, while it still holds the dictionary's (recursive) lock, so
// subscribers see the changes in the order they happened and may read or change the dictionary
// from inside a handler; a handler must not wait for another thread that uses the dictionary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vesk_managed/System.h"

namespace VESK_Managed::Components {

enum class NotifyCollectionChangedAction { Add, Remove, Replace };

template <typename Key, typename Value>
struct CollectionChangedEventArgs {
  NotifyCollectionChangedAction Action;
  Key ChangedKey;
  std::optional<Value> NewValue;  // Add, Replace
  std::optional<Value> OldValue;  // Remove, Replace
};

template <typename Key, typename Value, typename Hash = std::hash<Key>>
class ObservableConcurrentDictionary : public System::Object {
 public:
  using key_type = Key;
  using mapped_type = Value;
  using ChangedArgs = CollectionChangedEventArgs<Key, Value>;

  System::Event<ChangedArgs> CollectionChanged;

  // Throws ArgumentException when the key is present; the dictionary is then unchanged and
  // nothing is raised (the behaviour of the runtime's Dictionary.Add).
  void Add(const Key& key, const Value& value) {
    std::lock_guard lock(guard);
    if (!items.emplace(key, value).second) {
      throw System::ArgumentException("An item with the same key has already been added.");
    }
    ++version;
    CollectionChanged.Raise(*this, ChangedArgs{NotifyCollectionChangedAction::Add, key, value, {}});
  }

  // Adds or replaces; a replacement raises Replace with the old and the new value.
  void Set(const Key& key, const Value& value) {
    std::lock_guard lock(guard);
    auto [at, inserted] = items.try_emplace(key, value);
    ++version;
    if (inserted) {
      CollectionChanged.Raise(*this,
                              ChangedArgs{NotifyCollectionChangedAction::Add, key, value, {}});
      return;
    }
    Value old = std::exchange(at->second, value);
    CollectionChanged.Raise(*this,
                            ChangedArgs{NotifyCollectionChangedAction::Replace, key, value, old});
  }

  // False (and nothing raised) when the key is absent.
  bool Remove(const Key& key) {
    std::lock_guard lock(guard);
    auto at = items.find(key);
    if (at == items.end()) return false;
    Value old = std::move(at->second);
    items.erase(at);
    ++version;
    CollectionChanged.Raise(*this,
                            ChangedArgs{NotifyCollectionChangedAction::Remove, key, {}, old});
    return true;
  }

  bool ContainsKey(const Key& key) const {
    std::lock_guard lock(guard);
    return items.contains(key);
  }

  // The indexer read. Throws KeyNotFoundException when the key is absent.
  Value operator[](const Key& key) const {
    std::lock_guard lock(guard);
    auto at = items.find(key);
    if (at == items.end()) throw System::KeyNotFoundException();
    return at->second;
  }

  bool TryGetValue(const Key& key, Value& value) const {
    std::lock_guard lock(guard);
    auto at = items.find(key);
    if (at == items.end()) return false;
    value = at->second;
    return true;
  }

  std::size_t Count() const {
    std::lock_guard lock(guard);
    return items.size();
  }

  // Counts every addition, removal and replacement, so that a caller can tell whether anybody
  // changed the dictionary since it last looked.
  std::uint64_t Version() const {
    std::lock_guard lock(guard);
    return version;
  }

  // A copy of the entries at one moment, in no particular order.
  std::vector<std::pair<Key, Value>> Snapshot() const {
    std::lock_guard lock(guard);
    return {items.begin(), items.end()};
  }

 private:
  mutable std::recursive_mutex guard;
  std::unordered_map<Key, Value, Hash> items;
  std::uint64_t version = 0;
};

}  // namespace VESK_Managed::Components
