// Fuzzes the hiding of passwords in shown lines. Any text: hiding twice changes nothing more
// than hiding once. And a URL with a password, plain or percent-encoded, set between any two
// texts: the line shown never holds that URL with its password.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/passwords.h"

namespace {

// The bytes of `text` that may stand in a user name, password or host as the test writes
// them: none that ends or splits a URL's authority, no '%' that could start an escape, and no
// '*', which hiding itself writes.
std::string url_part(std::string_view text) {
  std::string part;
  for (const char c : text)
    if (c > ' ' && c < 0x7f && std::string_view(":@/?#,%*").find(c) == std::string_view::npos)
      part.push_back(c);
  return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string once = hide_passwords(text);
  if (hide_passwords(once) != once) __builtin_trap();

  // The input as before text, user, password, host and after text, split at 0x01 bytes; the
  // first byte picks the plain or the percent-encoded form.
  if (size < 1) return 0;
  const bool encoded = data[0] & 1;
  std::vector<std::string_view> parts;
  text.remove_prefix(1);
  for (size_t i = 0; i < 4; ++i) {
    size_t cut = text.find('\x01');
    if (cut == std::string_view::npos) return 0;
    parts.push_back(text.substr(0, cut));
    text.remove_prefix(cut + 1);
  }
  parts.push_back(text);
  const std::string user = url_part(parts[1]), password = url_part(parts[2]);
  const std::string host = url_part(parts[3]);
  if (password.empty()) return 0;
  const std::string_view scheme_end = encoded ? "%3A%2F%2F" : "://";
  const std::string_view colon = encoded ? "%3A" : ":", at = encoded ? "%40" : "@";
  const std::string with_password =
      std::string(scheme_end) + user + std::string(colon) + password + std::string(at);
  const std::string line =
      std::string(parts[0]) + "https" + with_password + host + std::string(parts[4]);
  if (hide_passwords(line).find(with_password) != std::string::npos) __builtin_trap();
  return 0;
}
