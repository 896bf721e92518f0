// ConvertStringSecurityDescriptorToSecurityDescriptorW with a real SDDL parser, and LocalFree for
// what it returns. The binary result is not the Windows self-relative format: it keeps only what
// the DACL grants and denies the groups of an ordinary caller (see Security.h).
#include "platform/posix/Security.h"

#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <string_view>
#include <unordered_set>

#include "platform/posix/Errors.h"
#include "platform/simulated/Host.h"

namespace vesk::platform {

namespace {

constexpr std::uint32_t kDescriptorMagic = 0x31445356;  // "VSD1"
constexpr DWORD kErrorUnknownRevision = 1305;
constexpr DWORD kErrorInvalidSecurityDescriptor = 1338;

struct Descriptor {
  std::uint32_t magic;
  std::uint32_t size;
  std::uint8_t hasDacl;
  std::uint8_t nullDacl;
  std::uint16_t reserved;
  std::uint32_t callerAllowed;  // rights, generic ones unmapped, that allow ACEs give the caller
  std::uint32_t callerDenied;   // and that deny ACEs take from it
};

// Allocations LocalFree may free; anything else is refused as Windows refuses a bad HLOCAL.
struct Allocations {
  std::mutex lock;
  std::unordered_set<void*> blocks;
};
Allocations& GetAllocations() {
  static Allocations* allocations = new Allocations;
  return *allocations;
}

constexpr std::wstring_view kSidAliases[] = {
    L"AA", L"AC", L"AN", L"AO", L"AP", L"AS", L"AU", L"BA", L"BG", L"BO", L"BU", L"CA", L"CD",
    L"CG", L"CN", L"CO", L"CY", L"DA", L"DC", L"DD", L"DG", L"DU", L"EA", L"ED", L"EK", L"ER",
    L"ES", L"HA", L"HI", L"IS", L"IU", L"KA", L"LA", L"LG", L"LS", L"LU", L"LW", L"ME", L"MP",
    L"MU", L"NO", L"NS", L"NU", L"OW", L"PA", L"PO", L"PS", L"PU", L"RA", L"RC", L"RD", L"RE",
    L"RM", L"RO", L"RS", L"RU", L"SA", L"SI", L"SO", L"SS", L"SU", L"SY", L"UD", L"WD", L"WR"};
// Groups every logged-on caller is a member of: Everyone, authenticated, built-in and interactive
// users. Anonymous logons, administrators, the system and named accounts are not the emulation's
// callers, so their ACEs apply to nobody here.
constexpr std::wstring_view kCallerGroups[] = {L"WD", L"AU", L"BU", L"IU"};

constexpr std::wstring_view kAceTypes[] = {L"A",  L"D",  L"OA", L"OD", L"AU", L"AL",
                                           L"OU", L"OL", L"ML", L"SP", L"XA", L"XD",
                                           L"XU", L"ZA", L"RA", L"SA", L"TL", L"FL"};
constexpr std::wstring_view kAceFlags[] = {L"CI", L"OI", L"NP", L"IO", L"ID",
                                           L"SA", L"FA", L"TP", L"CR"};
struct Right {
  std::wstring_view code;
  std::uint32_t mask;
};
constexpr Right kRights[] = {
    {L"GA", 0x10000000}, {L"GR", 0x80000000}, {L"GW", 0x40000000}, {L"GX", 0x20000000},
    {L"RC", 0x00020000}, {L"SD", 0x00010000}, {L"WD", 0x00040000}, {L"WO", 0x00080000},
    {L"RP", 0x00000010}, {L"WP", 0x00000020}, {L"CC", 0x00000001}, {L"DC", 0x00000002},
    {L"LC", 0x00000004}, {L"SW", 0x00000008}, {L"LO", 0x00000080}, {L"DT", 0x00000040},
    {L"CR", 0x00000100}, {L"FA", 0x001F01FF}, {L"FR", 0x00120089}, {L"FW", 0x00120116},
    {L"FX", 0x001200A0}, {L"KA", 0x000F003F}, {L"KR", 0x00020019}, {L"KW", 0x00020006},
    {L"KX", 0x00020019}, {L"NR", 0x00000002}, {L"NW", 0x00000001}, {L"NX", 0x00000004}};

// The specific rights of `mask`, with its generic rights replaced by what they mean for the object.
std::uint32_t MapGenericRights(std::uint32_t mask, const GenericMapping& mapping) {
  constexpr std::uint32_t kGenericRead = 0x80000000, kGenericWrite = 0x40000000,
                          kGenericExecute = 0x20000000, kGenericAll = 0x10000000;
  std::uint32_t rights = mask & 0x0FFFFFFF;
  if (mask & kGenericRead) rights |= mapping.read;
  if (mask & kGenericWrite) rights |= mapping.write;
  if (mask & kGenericExecute) rights |= mapping.execute;
  if (mask & kGenericAll) rights |= mapping.all;
  return rights;
}

template <std::size_t N>
bool OneOf(std::wstring_view token, const std::wstring_view (&list)[N]) {
  for (auto item : list)
    if (item == token) return true;
  return false;
}

bool IsHex(wchar_t c) { return std::iswxdigit(static_cast<wint_t>(c)) != 0; }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// "S-1-5-32-544": revision 1, an authority, then up to 15 sub-authorities.
bool ValidSidString(std::wstring_view s) {
  if (s.size() < 5 || s.substr(0, 4) != L"S-1-") return false;
  int parts = 0;
  std::size_t i = 4;
  while (i <= s.size()) {
    std::size_t j = i;
    if (s.substr(i, 2) == L"0x" || s.substr(i, 2) == L"0X") {
      j += 2;
      while (j < s.size() && IsHex(s[j])) ++j;
      if (j == i + 2) return false;
    } else {
      while (j < s.size() && IsDigit(s[j])) ++j;
      if (j == i) return false;
    }
    ++parts;
    if (j == s.size()) break;
    if (s[j] != L'-') return false;
    i = j + 1;
  }
  return parts >= 1 && parts <= 16;
}

bool ValidSid(std::wstring_view s) { return OneOf(s, kSidAliases) || ValidSidString(s); }

bool ValidGuid(std::wstring_view s) {
  if (s.empty()) return true;
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != L'-' : !IsHex(s[i])) return false;
  }
  return true;
}

bool ParseRights(std::wstring_view s, std::uint32_t& mask) {
  mask = 0;
  if (s.substr(0, 2) == L"0x" || s.substr(0, 2) == L"0X") {
    if (s.size() == 2 || s.size() > 10) return false;
    for (wchar_t c : s.substr(2)) {
      if (!IsHex(c)) return false;
      mask = mask * 16 + static_cast<std::uint32_t>(IsDigit(c) ? c - L'0' : (c | 0x20) - L'a' + 10);
    }
    return true;
  }
  if (!s.empty() && IsDigit(s[0])) {
    std::uint64_t value = 0;
    for (wchar_t c : s) {
      if (!IsDigit(c)) return false;
      value = value * 10 + static_cast<std::uint64_t>(c - L'0');
      if (value > 0xFFFFFFFFu) return false;
    }
    mask = static_cast<std::uint32_t>(value);
    return true;
  }
  if (s.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < s.size(); i += 2) {
    bool known = false;
    for (const auto& right : kRights) {
      if (right.code == s.substr(i, 2)) {
        mask |= right.mask;
        known = true;
        break;
      }
    }
    if (!known) return false;
  }
  return true;
}

bool ParseAceFlags(std::wstring_view s) {
  if (s.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < s.size(); i += 2)
    if (!OneOf(s.substr(i, 2), kAceFlags)) return false;
  return true;
}

class SddlParser {
 public:
  explicit SddlParser(std::wstring_view text) : text(text) {}

  bool Parse(Descriptor& out) {
    bool seen[4] = {};  // O G D S
    while (pos < text.size()) {
      if (pos + 1 >= text.size() || text[pos + 1] != L':') return false;
      const wchar_t tag = text[pos];
      pos += 2;
      const int index = tag == L'O' ? 0 : tag == L'G' ? 1 : tag == L'D' ? 2 : tag == L'S' ? 3 : -1;
      if (index < 0 || seen[index]) return false;
      seen[index] = true;
      if (index < 2) {
        if (!ParseOwnerSid()) return false;
      } else if (!ParseAcl(index == 2, out)) {
        return false;
      }
    }
    return true;
  }

 private:
  // An owner or group SID runs up to the next component tag.
  bool ParseOwnerSid() {
    std::size_t end = pos + 2;
    if (text.substr(pos, 2) == L"S-") {
      while (end < text.size()) {
        const wchar_t c = text[end];
        if (end + 1 < text.size() && text[end + 1] == L':') break;  // the next component's tag
        if (!IsHex(c) && c != L'-' && c != L'x' && c != L'X') break;
        ++end;
      }
    }
    if (end > text.size() || !ValidSid(text.substr(pos, end - pos))) return false;
    pos = end;
    return true;
  }

  bool ParseAcl(bool dacl, Descriptor& out) {
    if (dacl) out.hasDacl = 1;
    // Flags: P, AI, AR and NO_ACCESS_CONTROL, in any order, before the first ACE.
    while (pos < text.size() && text[pos] != L'(' &&
           !(pos + 1 < text.size() && text[pos + 1] == L':')) {
      if (text.substr(pos, 17) == L"NO_ACCESS_CONTROL") {
        if (dacl) out.nullDacl = 1;
        pos += 17;
      } else if (text.substr(pos, 2) == L"AI" || text.substr(pos, 2) == L"AR") {
        pos += 2;
      } else if (text[pos] == L'P') {
        pos += 1;
      } else {
        return false;
      }
    }
    while (pos < text.size() && text[pos] == L'(') {
      const std::size_t close = text.find(L')', pos);
      if (close == std::wstring_view::npos) return false;
      if (!ParseAce(text.substr(pos + 1, close - pos - 1), dacl, out)) return false;
      pos = close + 1;
    }
    // Whatever follows must be the next component.
    return pos == text.size() || (pos + 1 < text.size() && text[pos + 1] == L':');
  }

  static bool ParseAce(std::wstring_view ace, bool dacl, Descriptor& out) {
    std::wstring_view fields[7];
    std::size_t count = 0;
    std::size_t start = 0;
    for (;;) {
      const std::size_t semicolon = ace.find(L';', start);
      if (count == 7) return false;
      fields[count++] =
          ace.substr(start, semicolon == std::wstring_view::npos ? std::wstring_view::npos
                                                                 : semicolon - start);
      if (semicolon == std::wstring_view::npos) break;
      start = semicolon + 1;
    }
    if (count != 6 && count != 7) return false;
    std::uint32_t mask = 0;
    if (!OneOf(fields[0], kAceTypes) || !ParseAceFlags(fields[1]) ||
        !ParseRights(fields[2], mask) || !ValidGuid(fields[3]) || !ValidGuid(fields[4]) ||
        !ValidSid(fields[5]))
      return false;
    const bool label = fields[0] == L"ML";
    // Mandatory labels live in the SACL and name an integrity level.
    if (label && (dacl || !(fields[5] == L"LW" || fields[5] == L"ME" || fields[5] == L"MP" ||
                            fields[5] == L"HI" || fields[5] == L"SI")))
      return false;
    if (dacl && OneOf(fields[5], kCallerGroups)) {
      if (fields[0] == L"A") out.callerAllowed |= mask;
      if (fields[0] == L"D") out.callerDenied |= mask;
    }
    return true;
  }

  std::wstring_view text;
  std::size_t pos = 0;
};

}  // namespace

bool SecurityFromAttributes(const SECURITY_ATTRIBUTES* attributes, const GenericMapping& mapping,
                            NamedObjectSecurity& security, DWORD& error) {
  security = {};
  if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr) return true;
  {
    auto& allocations = GetAllocations();
    std::lock_guard guard(allocations.lock);
    if (!allocations.blocks.count(attributes->lpSecurityDescriptor)) {
      error = kErrorInvalidSecurityDescriptor;
      return false;
    }
  }
  const auto* descriptor = static_cast<const Descriptor*>(attributes->lpSecurityDescriptor);
  if (descriptor->magic != kDescriptorMagic) {
    error = kErrorInvalidSecurityDescriptor;
    return false;
  }
  if (!descriptor->hasDacl) return true;
  if (descriptor->nullDacl) {
    security.mode = 0666;
    return true;
  }
  // Windows takes a deny ACE's rights away only if it comes before the allow ACE that grants
  // them; canonical DACLs put deny ACEs first, so taking them away regardless agrees with it.
  const std::uint32_t granted = MapGenericRights(descriptor->callerAllowed, mapping) &
                                ~MapGenericRights(descriptor->callerDenied, mapping);
  security.fullAccess = (granted & mapping.all) == mapping.all;
  if (granted != 0) security.mode = 0666;
  return true;
}

}  // namespace vesk::platform

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR sddl, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          PULONG descriptorSize) {
  using namespace vesk::platform;
  DWORD fault = ERROR_SUCCESS;
  if (TakeFault(Api::ConvertStringSecurityDescriptor, fault)) return Fail(fault, FALSE);
  if (sddl == nullptr || descriptor == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (revision != SDDL_REVISION_1) return Fail(kErrorUnknownRevision, FALSE);
  Descriptor parsed{};
  if (!SddlParser(sddl).Parse(parsed)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  parsed.magic = kDescriptorMagic;
  parsed.size = sizeof(Descriptor);
  void* block = std::malloc(sizeof(Descriptor));
  if (block == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  std::memcpy(block, &parsed, sizeof parsed);
  {
    auto& allocations = GetAllocations();
    std::lock_guard guard(allocations.lock);
    allocations.blocks.insert(block);
  }
  *descriptor = block;
  if (descriptorSize != nullptr) *descriptorSize = sizeof(Descriptor);
  return TRUE;
}

HLOCAL LocalFree(HLOCAL memory) {
  using namespace vesk::platform;
  if (memory == nullptr) return nullptr;
  auto& allocations = GetAllocations();
  {
    std::lock_guard guard(allocations.lock);
    if (allocations.blocks.erase(memory) == 0) return Fail(ERROR_INVALID_HANDLE, memory);
  }
  std::free(memory);
  return nullptr;
}
