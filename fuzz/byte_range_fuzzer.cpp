// Fuzzes the Range header of a mirror GET: the first 8 bytes give the file size (the first of
// them picks a small size or any size), the rest the header. A partial reply lies within the
// file and is not empty, and asking again for exactly the bytes it chose gives them back.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "relay/byte_range.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  uint64_t file_size = 0;
  memcpy(&file_size, data, 8);
  // Most real files are small; half the inputs keep the size near the numbers in the header.
  if (data[0] & 1) file_size %= 4096;
  std::string_view header(reinterpret_cast<const char*>(data) + 8, size - 8);

  ByteRange range{12345, 678};
  RangeReply reply = choose_range(header, file_size, &range);
  if (reply != RangeReply::Partial) {
    if (range.offset != 12345 || range.length != 678) __builtin_trap();  // left alone
    // Only a bytes range can be refused.
    if (reply == RangeReply::Unsatisfiable && header.find("bytes=") == std::string_view::npos)
      __builtin_trap();
    return 0;
  }
  // Within the file: start <= end < size, counted without overflow.
  if (range.length == 0 || range.offset >= file_size || range.length > file_size - range.offset)
    __builtin_trap();
  const uint64_t end = range.offset + range.length - 1;
  std::string again = "bytes=" + std::to_string(range.offset) + "-" + std::to_string(end);
  ByteRange same;
  if (choose_range(again, file_size, &same) != RangeReply::Partial || same.offset != range.offset ||
      same.length != range.length)
    __builtin_trap();
  return 0;
}
