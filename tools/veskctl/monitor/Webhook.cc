#include "tools/veskctl/monitor/Webhook.h"

#include "tools/veskctl/base/Files.h"
#include "tools/veskctl/base/Secrets.h"
#include "tools/veskctl/base/Stop.h"

namespace veskctl {

Webhook::Webhook(const std::string& address, const std::filesystem::path& secretFile,
                 double timeoutSeconds)
    : url(ParseHttpUrl(address, "--webhook")), timeoutSeconds(timeoutSeconds) {
  if (secretFile.empty()) return;
  const std::string name = "--webhook-secret: " + secretFile.string();
  std::optional<std::string> text;
  try {
    text = ReadFileShared(secretFile, "the webhook's secret");
  } catch (const StateFileError& e) {
    throw UsageError(name + ": " + e.what());
  }
  if (!text) throw UsageError(name + " does not exist");
  if (!IsPrivateFile(secretFile))
    throw UsageError(name +
                     " is another user's, or others may read it: make it yours alone "
                     "(chmod 600)");
  // The secret is the file's first line: an editor's newline at its end is not part of it.
  secret = text->substr(0, text->find_first_of("\r\n"));
  if (secret.empty()) throw UsageError(name + " holds no secret on its first line");
}

HttpPosted Webhook::Post(const nlohmann::json& record) const {
  const std::string body = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::vector<std::pair<std::string, std::string>> headers = {
      {"User-Agent", std::string("veskctl/") + VESKCTL_VERSION},
      {"X-Vesk-Record", std::to_string(record.value("id", std::uint64_t{0}))},
      {"X-Vesk-Kind", record.value("kind", std::string())}};
  if (!secret.empty())
    headers.emplace_back("X-Vesk-Signature", "sha256=" + HmacSha256Hex(secret, body));
  return HttpPost(url, headers, body, timeoutSeconds, StopRequested);
}

}  // namespace veskctl
