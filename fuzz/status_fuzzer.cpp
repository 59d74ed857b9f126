// Fuzzes the reply-status parse: the token it stores is a NUL-terminated run of letters,
// digits and '_' that fits the buffer, and the buffer is untouched when no token is found.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "client/protocol/status_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string reply(reinterpret_cast<const char*>(data), size);
  std::optional<std::string_view> token = parse_status(reply);
  if (!token) return 0;
  // A token is a non-empty run of ASCII letters, digits and '_' inside the reply, after the
  // first "status=", in a reply that begins with "0\n" and holds "aid=".
  if (token->empty()) __builtin_trap();
  if (token->data() < reply.data() || token->data() + token->size() > reply.data() + reply.size())
    __builtin_trap();
  for (const char c : *token)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
      __builtin_trap();
  size_t at = static_cast<size_t>(token->data() - reply.data());
  if (at < 7 || reply.compare(at - 7, 7, "status=") != 0 || reply.find("status=") != at - 7)
    __builtin_trap();
  if (reply.compare(0, 2, "0\n") != 0 || reply.find("aid=") == std::string::npos) __builtin_trap();
  return 0;
}
