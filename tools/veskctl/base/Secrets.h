// Secrets the console hands out and checks (tokens, session values and confirm values), and the
// signature of what the monitor posts to a webhook.
#pragma once

#include <cstddef>
#include <string>

namespace veskctl {

// `bytes` random bytes from the system's source, as lower-case hex.
std::string RandomHex(std::size_t bytes);
// The SHA-1 digest of `text`, as 40 lower-case hex digits.
std::string Sha1Hex(const std::string& text);
// HMAC-SHA-256 of `text` under `key`, as 64 lower-case hex digits: what a webhook's receiver
// computes with its own copy of the key to know that a post is the monitor's and whole.
std::string HmacSha256Hex(const std::string& key, const std::string& text);
// Compares secrets in a time that does not tell how much of a guess was right.
bool SameSecret(const std::string& a, const std::string& b);

}  // namespace veskctl
