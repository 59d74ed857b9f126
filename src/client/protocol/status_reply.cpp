// The relay's reply to a download request, as far as the client reads it: its status token.
#include "client/protocol/status_reply.h"

namespace {

// ASCII letters and digits, whatever the locale, and '_'.
bool is_token_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
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

std::optional<std::string> parse_reason(std::string_view reply) {
  size_t at = reply.find("reason=");
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view encoded = reply.substr(at + 7);
  encoded = encoded.substr(0, encoded.find_first_of(",\r\n"));
  std::string reason;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%' && i + 2 < encoded.size() && hex_value(encoded[i + 1]) >= 0 &&
        hex_value(encoded[i + 2]) >= 0) {
      reason += static_cast<char>(hex_value(encoded[i + 1]) * 16 + hex_value(encoded[i + 2]));
      i += 2;
    } else {
      reason += encoded[i];
    }
  }
  return reason;
}
