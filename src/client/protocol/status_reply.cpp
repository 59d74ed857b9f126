// The relay's reply to a download request, as far as the client reads it: its status token.
#include "client/protocol/status_reply.h"

namespace {

// ASCII letters and digits, whatever the locale, and '_'.
bool is_token_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

std::optional<std::string_view> parse_status(std::string_view reply) {
  if (!reply.starts_with("0\n")) return std::nullopt;
  if (reply.find("aid=") == std::string_view::npos) return std::nullopt;
  size_t status = reply.find("status=");
  if (status == std::string_view::npos) return std::nullopt;
  size_t start = status + 7;
  size_t end = start;
  while (end < reply.size() && is_token_byte(reply[end])) ++end;
  if (end == start) return std::nullopt;
  return reply.substr(start, end - start);
}
