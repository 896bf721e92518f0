// One management or out-of-band request while the simulated driver works on it. Internal to the
// driver's sources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "simulator/RaidDriver.h"

namespace vesk::sim {

struct RaidDriver::Request {
  std::wstring pdoName;
  std::uint8_t* buf = nullptr;  // the system copy of the buffer, answered in place
  std::size_t size = 0;         // 28 + the header's length field
  std::uint32_t function = 0;
  bool outOfBand = false;
  std::uint32_t api = 0;         // the request's API-version field
  std::uint32_t layout = 0;      // the layout answered: the older of request and driver
  Controller* device = nullptr;  // the controller behind the device the request came through
  std::uint8_t scope = 0;
  vesk_guid scopeId{};

  // What the answer looks like, for the faults that damage an answer after the fact.
  enum class Shape { None, List, Capabilities };
  Shape shape = Shape::None;
  std::size_t entrySize = 0;
  bool legacyCapabilities = false;

  // Reads the 17-byte scope header at 32 (scope bits 0-2, identifier at 33).
  DriverStatus ReadScope();
  // Scope 0: the device's own controller; scope 1: the controller named by the identifier.
  DriverStatus ScopedController(Topology& topology, Controller*& controller);
  // Clears the answer area and writes a count at 32 and `count` records from 34; BufferTooSmall
  // (with the count written) when they do not fit.
  DriverStatus WriteList(std::size_t count, std::size_t recordSize,
                         const std::function<void(std::uint8_t*, std::size_t)>& write);
};

}  // namespace vesk::sim
