// Fuzzes the decoding of the url field of a download request: every escape shortens the text
// by two bytes and nothing else changes its length, text without a '%' comes back as it is, a
// refusal points at a '%' without two hex digits after it, and what is decoded encodes and
// decodes back to itself.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "relay/request_body.h"

namespace {

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> decoded = percent_decode(text);
  // Where the escapes are, read left to right; a '%' that does not begin one makes the text bad.
  size_t escapes = 0;
  bool bad = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (i + 2 < text.size() && is_hex(text[i + 1]) && is_hex(text[i + 2])) {
      ++escapes;
      i += 2;
    } else {
      bad = true;
      break;
    }
  }
  if (bad != !decoded) __builtin_trap();
  if (!decoded) return 0;
  if (decoded->size() > text.size() || decoded->size() != text.size() - 2 * escapes)
    __builtin_trap();
  if (escapes == 0 && *decoded != text) __builtin_trap();
  if (percent_decode(percent_encode(*decoded)) != decoded) __builtin_trap();
  return 0;
}
