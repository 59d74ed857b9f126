// UTF-16 text, as Windows editors save it, turned into UTF-8 piece by piece.
#include "common/utf16.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_high_surrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

void append_utf8(char32_t code_point, std::string& out) {
  auto byte = [&out](char32_t value) { out += static_cast<char>(value); };
  if (code_point < 0x80) {
    byte(code_point);
  } else if (code_point < 0x800) {
    byte(0xC0 | (code_point >> 6));
    byte(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    byte(0xE0 | (code_point >> 12));
    byte(0x80 | ((code_point >> 6) & 0x3F));
    byte(0x80 | (code_point & 0x3F));
  } else {
    byte(0xF0 | (code_point >> 18));
    byte(0x80 | ((code_point >> 12) & 0x3F));
    byte(0x80 | ((code_point >> 6) & 0x3F));
    byte(0x80 | (code_point & 0x3F));
  }
}

void Utf16Decoder::feed(const char* bytes, size_t size, std::string& out) {
  for (size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (held_byte_ < 0) {
      held_byte_ = byte;
      continue;
    }
    const unsigned first = static_cast<unsigned>(held_byte_);
    held_byte_ = -1;
    const unsigned second = byte;
    take_unit(static_cast<char16_t>(big_endian_ ? (first << 8) | second : (second << 8) | first),
              out);
  }
}

void Utf16Decoder::take_unit(char16_t unit, std::string& out) {
  if (high_surrogate_ != 0) {
    const char16_t high = high_surrogate_;
    high_surrogate_ = 0;
    if (is_low_surrogate(unit)) {
      append_utf8(0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) + (unit - 0xDC00), out);
      return;
    }
    append_utf8(kReplacement, out);
  }
  if (is_high_surrogate(unit))
    high_surrogate_ = unit;
  else
    append_utf8(is_low_surrogate(unit) ? kReplacement : unit, out);
}

void Utf16Decoder::finish(std::string& out) {
  if (high_surrogate_ != 0 || held_byte_ >= 0) append_utf8(kReplacement, out);
  high_surrogate_ = 0;
  held_byte_ = -1;
}
