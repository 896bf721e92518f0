// Request buffers for the simulated driver, built byte by byte at the offsets of the wire format
// (deliberately not with the library's protocol records, which are tested against this driver).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "simulator/RaidDriver.h"
#include "simulator/Topology.h"

namespace vesk::sim::test {

inline Vesk::vesk_guid Id(const char* text) { return *ParseGuid(text); }

struct Bytes {
  std::vector<std::uint8_t> b;

  // A management request ("TALUMgmt") of `length` bytes with its framing written.
  static Bytes Management(std::size_t length, std::uint32_t function, std::uint32_t api = 3) {
    Bytes r;
    r.b.assign(length, 0);
    r.Put32(0, 28);
    std::memcpy(r.b.data() + 4, "TALUMgmt", 8);
    r.Put32(12, 30000);
    r.Put32(16, function);
    r.Put32(24, static_cast<std::uint32_t>(length - 28));
    r.Put32(28, api);
    return r;
  }

  // Little-endian values of `width` bytes.
  void PutLe(std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
  }
  std::uint64_t Le(std::size_t at, int width) const {
    std::uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | b.at(at + i);
    return v;
  }
  void Put8(std::size_t at, std::uint8_t v) { b.at(at) = v; }
  void Put16(std::size_t at, std::uint16_t v) { PutLe(at, v, 2); }
  void Put32(std::size_t at, std::uint32_t v) { PutLe(at, v, 4); }
  void Put64(std::size_t at, std::uint64_t v) { PutLe(at, v, 8); }
  // Identifiers travel as u32, u16, u16, u16, then six bytes in order.
  void PutId(std::size_t at, const Vesk::vesk_guid& g) {
    Put32(at, g.group1);
    Put16(at + 4, g.group2);
    Put16(at + 6, g.group3);
    Put16(at + 8, g.group4);
    for (int i = 0; i < 6; ++i) b.at(at + 10 + i) = g.group5[i];
  }
  void PutText(std::size_t at, const std::string& text) {
    std::memcpy(b.data() + at, text.data(), text.size());
  }

  std::uint8_t U8(std::size_t at) const { return b.at(at); }
  std::uint16_t U16(std::size_t at) const { return static_cast<std::uint16_t>(Le(at, 2)); }
  std::uint32_t U32(std::size_t at) const { return static_cast<std::uint32_t>(Le(at, 4)); }
  std::uint64_t U64(std::size_t at) const { return Le(at, 8); }
  Vesk::vesk_guid IdAt(std::size_t at) const {
    Vesk::vesk_guid g{};
    g.group1 = U32(at);
    g.group2 = U16(at + 4);
    g.group3 = U16(at + 6);
    g.group4 = U16(at + 8);
    for (int i = 0; i < 6; ++i) g.group5[i] = b.at(at + 10 + i);
    return g;
  }
  std::string Text(std::size_t at, std::size_t width) const {
    std::string s(reinterpret_cast<const char*>(b.data() + at), width);
    return s.substr(0, s.find('\0'));
  }
  std::uint32_t ReturnCode() const { return U32(20); }
};

// A scoped query (49-byte header) in a buffer of `length` bytes.
inline Bytes ScopedQuery(std::uint32_t function, std::size_t length, std::uint8_t scope,
                         const Vesk::vesk_guid& id, std::uint32_t api = 3) {
  Bytes r = Bytes::Management(length, function, api);
  r.Put8(32, scope);
  r.PutId(33, id);
  return r;
}

// A command naming one object at 32, with an optional value byte at 48.
inline Bytes TargetCommand(std::uint32_t function, const Vesk::vesk_guid& id, int value = -1) {
  Bytes r = Bytes::Management(value < 0 ? 48 : 49, function);
  r.PutId(32, id);
  if (value >= 0) r.Put8(48, static_cast<std::uint8_t>(value));
  return r;
}

inline IoResult Send(RaidDriver& driver, const std::wstring& pdo, Bytes& request) {
  IoControl call;
  call.pdoName = pdo;
  call.controlCode = IOCTL_SCSI_MINIPORT;
  call.in = request.b.data();
  call.inSize = static_cast<DWORD>(request.b.size());
  call.out = request.b.data();
  call.outSize = static_cast<DWORD>(request.b.size());
  return driver.Control(call);
}

inline const std::wstring kSataPdo = L"\\Device\\RaidPort0";
inline const std::wstring kDornPdo = L"\\Device\\RaidPort1";

inline std::shared_ptr<RaidDriver> LoadDriver(const std::string& name) {
  return RaidDriver::FromFile(std::string(VESK_TOPOLOGY_DIR) + "/" + name);
}

// Demo identifiers.
inline const Vesk::vesk_guid kSataController = Id("c0a7a000-0000-4000-8000-000000000001");
inline const Vesk::vesk_guid kDornController = Id("c0d0e100-0000-4000-8000-000000000002");
inline const Vesk::vesk_guid kSataArray = Id("a0a7a000-0000-4000-8000-000000000001");
inline const Vesk::vesk_guid kDornArray = Id("a0d0e100-0000-4000-8000-000000000001");
inline const Vesk::vesk_guid kSystemVolume = Id("f0a7a000-0000-4000-8000-000000000001");
inline const Vesk::vesk_guid kDataVolume = Id("f0d0e100-0000-4000-8000-000000000001");
inline const Vesk::vesk_guid kScratchVolume = Id("f0d0e100-0000-4000-8000-000000000002");
inline Vesk::vesk_guid SataDisk(int i) {
  return Id(("5a7a0000-0000-4000-8000-00000000000" + std::to_string(i)).c_str());
}
inline const Vesk::vesk_guid kOptical = Id("5a7a0000-0000-4000-8000-0000000000f5");
inline Vesk::vesk_guid Nvme(int i) {
  char text[40];
  std::snprintf(text, sizeof text, "d0e10000-0000-4000-8000-0000000000%02d", i);
  return Id(text);
}

}  // namespace vesk::sim::test
