#include "tools/veskctl/journal/Event.h"

#include <chrono>
#include <cstdio>

#include "tools/veskctl/base/Json.h"

namespace veskctl {

namespace {

std::string Shown(const EventValue& v) {
  if (v.enumeration) return v.name + " (" + v.value.dump() + ")";
  if (v.value.is_string() && v.value.get<std::string>() == v.name) return "\"" + v.name + "\"";
  return v.name;
}

}  // namespace

std::string EventTime() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

std::string EventElement(const MonitorEvent& e) {
  return e.elementKind.empty() ? "" : e.elementKind + ":" + e.elementId;
}

std::string EventDetail(const MonitorEvent& e) {
  std::string change;
  if (!e.property.empty()) {
    change = e.property + ": ";
    if (e.oldValue) change += Shown(*e.oldValue) + " -> ";
    change += e.newValue ? Shown(*e.newValue) : "none";
  }
  if (e.detail.empty()) return change;
  return change.empty() ? e.detail : e.detail + "; " + change;
}

std::string EventText(const MonitorEvent& e) {
  std::string line = e.time + "  " + e.kind;
  if (!e.elementKind.empty()) {
    const std::string name = e.elementKind == "drive" ? e.elementName : "\"" + e.elementName + "\"";
    line += "  " + e.elementKind + " " + name + " (" + e.elementId + ")";
  }
  const std::string detail = EventDetail(e);
  return detail.empty() ? line : line + "  " + detail;
}

nlohmann::json EventJson(const MonitorEvent& e) {
  auto value = [](const std::optional<EventValue>& v) { return v ? v->value : nullptr; };
  auto name = [](const std::optional<EventValue>& v) {
    return v ? nlohmann::json(v->name) : nlohmann::json(nullptr);
  };
  nlohmann::json element = nullptr;
  if (!e.elementKind.empty())
    element = {{"kind", e.elementKind}, {"id", e.elementId}, {"name", e.elementName}};
  return {{"schemaVersion", kJsonSchemaVersion},
          {"time", e.time},
          {"kind", e.kind},
          {"element", element},
          {"property", e.property.empty() ? nlohmann::json(nullptr) : nlohmann::json(e.property)},
          {"old", value(e.oldValue)},
          {"oldName", name(e.oldValue)},
          {"new", value(e.newValue)},
          {"newName", name(e.newValue)},
          {"detail", e.detail.empty() ? nlohmann::json(nullptr) : nlohmann::json(e.detail)}};
}

}  // namespace veskctl
