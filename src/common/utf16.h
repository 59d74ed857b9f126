// UTF-16 text, as Windows editors save it, turned into UTF-8 piece by piece.
#pragma once

#include <cstddef>
#include <string>

/// Decodes UTF-16 of one byte order into UTF-8, from pieces of any size: a code unit or a
/// surrogate pair split between two pieces is joined. A surrogate without its partner becomes
/// U+FFFD, as does an odd byte left at the end.
class Utf16Decoder {
 public:
  explicit Utf16Decoder(bool big_endian) : big_endian_(big_endian) {}

  /// Appends to `out` the UTF-8 of every code point that `bytes` complete.
  void feed(const char* bytes, size_t size, std::string& out);
  /// Appends to `out` what the input's end leaves: U+FFFD for a piece of a character.
  void finish(std::string& out);

 private:
  void take_unit(char16_t unit, std::string& out);

  bool big_endian_;
  int held_byte_ = -1;           ///< the first byte of a code unit whose second is still to come
  char16_t high_surrogate_ = 0;  ///< a high surrogate waiting for its low one
};

/// Appends the UTF-8 of `code_point` to `out`.
void append_utf8(char32_t code_point, std::string& out);
