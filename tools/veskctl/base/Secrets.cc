#include "tools/veskctl/base/Secrets.h"

#include <array>
#include <boost/uuid/detail/sha1.hpp>
#include <cstdint>
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

// SHA-256 (FIPS 180-4): Boost has no public one, and the Windows build has no OpenSSL.
class Sha256 {
 public:
  void Add(const std::string& bytes) {
    for (const char c : bytes) {
      block[used++] = static_cast<unsigned char>(c);
      if (used == 64) Compress();
    }
    length += bytes.size();
  }
  std::array<unsigned char, 32> Digest() {
    const std::uint64_t bits = length * 8;
    block[used++] = 0x80;
    if (used > 56) {
      while (used < 64) block[used++] = 0;
      Compress();
    }
    while (used < 56) block[used++] = 0;
    for (int i = 7; i >= 0; --i) block[used++] = static_cast<unsigned char>(bits >> (8 * i));
    Compress();
    std::array<unsigned char, 32> digest;
    for (int i = 0; i < 32; ++i)
      digest[i] = static_cast<unsigned char>(h[i / 4] >> (24 - 8 * (i % 4)));
    return digest;
  }

 private:
  static std::uint32_t Rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
  void Compress() {
    static constexpr std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = std::uint32_t(block[4 * i]) << 24 | std::uint32_t(block[4 * i + 1]) << 16 |
             std::uint32_t(block[4 * i + 2]) << 8 | block[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t v[8];
    for (int i = 0; i < 8; ++i) v[i] = h[i];
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t s1 = Rotate(v[4], 6) ^ Rotate(v[4], 11) ^ Rotate(v[4], 25);
      const std::uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
      const std::uint32_t t1 = v[7] + s1 + choice + k[i] + w[i];
      const std::uint32_t s0 = Rotate(v[0], 2) ^ Rotate(v[0], 13) ^ Rotate(v[0], 22);
      const std::uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
      for (int j = 7; j > 0; --j) v[j] = v[j - 1];
      v[4] += t1;
      v[0] = t1 + s0 + majority;
    }
    for (int i = 0; i < 8; ++i) h[i] += v[i];
    used = 0;
  }

  std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  unsigned char block[64] = {};
  std::size_t used = 0;
  std::uint64_t length = 0;
};

}  // namespace

std::string HmacSha256Hex(const std::string& key, const std::string& text) {
  std::string padded = key;
  if (padded.size() > 64) {
    Sha256 hash;
    hash.Add(padded);
    const auto digest = hash.Digest();
    padded.assign(digest.begin(), digest.end());
  }
  padded.resize(64, '\0');
  std::string inner = padded, outer = padded;
  for (auto& c : inner) c ^= 0x36;
  for (auto& c : outer) c ^= 0x5c;
  Sha256 first;
  first.Add(inner);
  first.Add(text);
  const auto innerDigest = first.Digest();
  Sha256 second;
  second.Add(outer);
  second.Add(std::string(innerDigest.begin(), innerDigest.end()));
  const auto digest = second.Digest();
  return HexOf(digest.data(), digest.size());
}

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
