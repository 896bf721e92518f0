// One event as the journal records it and as people and programs read it: what changed, on which
// element, from what to what. Watchers derive events (monitor/EventFeed.h); every journal record
// carries an event's fields.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace veskctl {

// One value of a property: `value` as JSON gives it (a number, a flag, a text, an identifier) and
// `name`, the word for an enumeration or the value as text.
struct EventValue {
  nlohmann::json value;
  std::string name;
  bool enumeration = false;  // text shows "name (number)"
  bool operator==(const EventValue& other) const {
    return value == other.value && name == other.name;
  }
};

struct MonitorEvent {
  std::string time;  // UTC, ISO 8601 with milliseconds
  // present, added, removed, changed; the derived kinds volume-degraded, volume-failed,
  // volume-normal, drive-failed, drive-missing, spare-taken, job-started, job-finished,
  // job-failed, controller-arrived, controller-removed; and the monitor's own refresh-failed,
  // refresh-recovered, program-failed and delivery-failed.
  std::string kind;
  std::string elementKind;  // controller, array, volume, drive; empty for the monitor's own
  std::string elementId;
  std::string elementName;  // drives: the serial number
  std::string property;     // empty when the event is about the element as a whole
  std::optional<EventValue> oldValue, newValue;
  std::string detail;  // what a failure said, the kind of background work
};

// "2024-05-01T12:00:00.123Z"
std::string EventTime();
// One line for people: time, kind, element with name and identifier, old -> new. Control
// characters in any of them are escapes: the line is always one line.
std::string EventText(const MonitorEvent& event);
// One JSON Lines record (docs/schema/veskctl.schema.json, $defs/monitor).
nlohmann::json EventJson(const MonitorEvent& event);
// `text` as it shows in a line: control characters and marks that reorder text are escapes.
std::string Printable(const std::string& text);
// The element as the program run per event gets it: "volume:ID", empty for the monitor's own.
std::string EventElement(const MonitorEvent& event);
// The rest of the text line after the element: what changed.
std::string EventDetail(const MonitorEvent& event);

}  // namespace veskctl
