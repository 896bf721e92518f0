// `monitor --webhook URL`: each journal record posted to a receiver as one JSON object, the same
// record `events --json` shows. A post is delivered when the receiver answers 2xx; anything else
// (another status, no answer within the time-out, no connection) is a failed delivery that the
// monitor tries again, so a receiver may get a record twice and should take a repeated `id` as a
// repeat. With a secret, each post carries "X-Vesk-Signature: sha256=HEX", the HMAC-SHA-256 of the
// body under the secret, so the receiver knows the post is the monitor's and whole.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "tools/veskctl/http/HttpClient.h"

namespace veskctl {

class Webhook {
 public:
  // UsageError for a URL veskctl cannot post to, and for a secret file that cannot be read, is
  // empty, or may be read by others (`secretFile` empty: posts are not signed).
  Webhook(const std::string& url, const std::filesystem::path& secretFile, double timeoutSeconds);

  // Posts `record`. Nothing when the receiver took it; `stopped` when the monitor was told to stop
  // before an answer came (the record is posted again next time).
  HttpPosted Post(const nlohmann::json& record) const;

 private:
  HttpUrl url;
  std::string secret;
  double timeoutSeconds;
};

}  // namespace veskctl
