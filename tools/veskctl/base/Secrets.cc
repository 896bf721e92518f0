#include "tools/veskctl/base/Secrets.h"

#include <boost/uuid/detail/sha1.hpp>
#include <random>

namespace veskctl {

namespace {

std::string HexOf(const unsigned char* bytes, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

}  // namespace

std::string RandomHex(std::size_t bytes) {
  std::random_device random;
  std::string raw(bytes, '\0');
  for (auto& b : raw) b = static_cast<char>(random() & 0xff);
  return HexOf(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

std::string Sha1Hex(const std::string& text) {
  boost::uuids::detail::sha1 hash;
  hash.process_bytes(text.data(), text.size());
  boost::uuids::detail::sha1::digest_type digest;
  hash.get_digest(digest);
  unsigned char bytes[20];
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 4; ++j)
      bytes[i * 4 + j] = static_cast<unsigned char>(digest[i] >> (24 - 8 * j));
  return HexOf(bytes, sizeof bytes);
}

bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char differ = 0;
  for (std::size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

}  // namespace veskctl
