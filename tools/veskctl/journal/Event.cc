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

// Text that stays on its line and reads as it is stored: control characters (C0, DEL, C1), line
// and paragraph separators and the marks that reorder text around them become escapes, so that
// no name, argument or driver text can start a line of its own in a text record.
std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  char escape[8];
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = [&](std::size_t k) {
      return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
    };
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else if (c == 0xc2 && next(1) >= 0x80 && next(1) <= 0x9f) {  // U+0080 to U+009F
      std::snprintf(escape, sizeof escape, "\\u%04x", next(1));
      out += escape;
      i += 1;
    } else if (c == 0xe2 && ((next(1) == 0x80 && next(2) >= 0xa8 && next(2) <= 0xae) ||
                             (next(1) == 0x81 && next(2) >= 0xa6 && next(2) <= 0xa9))) {
      // U+2028 to U+202E, U+2066 to U+2069
      std::snprintf(escape, sizeof escape, "\\u%04x",
                    0x2000 + ((next(1) & 0x3f) << 6) + (next(2) & 0x3f));
      out += escape;
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

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
  return Printable(detail.empty() ? line : line + "  " + detail);
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
