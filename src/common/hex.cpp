// Hexadecimal texts: digests as the client, the relay and the tests write and compare them.
#include "common/hex.h"

#include <cctype>

namespace {

char lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

}  // namespace

std::string to_hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text(bytes.size() * 2, '0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(bytes[i]);
    text[2 * i] = digits[byte >> 4];
    text[2 * i + 1] = digits[byte & 15];
  }
  return text;
}

bool is_hex_digest(std::string_view text, size_t length) {
  if (text.size() != length) return false;
  for (const char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool hex_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::string lower_hex(std::string_view hex) {
  std::string text(hex);
  for (char& c : text) c = lower(c);
  return text;
}

std::string digest_hex(DigestKind kind, std::string_view data) {
  Digest digest(kind);
  digest.update(data.data(), data.size());
  return to_hex(digest.finish());
}
