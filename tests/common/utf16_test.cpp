// UTF-16 into UTF-8 whatever the pieces it comes in: split code units, split pairs, faults.
#include "common/utf16.h"

#include <gtest/gtest.h>

namespace {

// The decoding of `bytes` handed over in pieces of `piece` bytes.
std::string decode(const std::string& bytes, bool big_endian, size_t piece) {
  Utf16Decoder decoder(big_endian);
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += piece)
    decoder.feed(bytes.data() + at, std::min(piece, bytes.size() - at), out);
  decoder.finish(out);
  return out;
}

TEST(Utf16DecoderTest, AnyPiecesGiveTheSameText) {
  const std::string replacement = "\xEF\xBF\xBD";
  struct Case {
    std::string little_endian;  // the big-endian form swaps each pair of bytes
    std::string utf8;
  } cases[] = {
      {std::string("a\0\xFC\0", 4), "a\xC3\xBC"},
      {std::string("\x17\x52", 2), "\xE5\x88\x97"},              // U+5217
      {std::string("\x3D\xD8\x00\xDE", 4), "\xF0\x9F\x98\x80"},  // U+1F600
      {std::string("\x3D\xD8"
                   "a\0",
                   4),
       replacement + "a"},  // high, no low
      {std::string("\x3D\xD8\x3D\xD8\x00\xDE", 6), replacement + "\xF0\x9F\x98\x80"},
      {std::string("\x00\xDE"
                   "b\0",
                   4),
       replacement + "b"},                                 // low alone
      {std::string("c\0\x3D\xD8", 4), "c" + replacement},  // ends on a high
      {std::string("d\0e", 3), "d" + replacement},         // an odd byte
      {std::string("\0\0", 2), std::string("\0", 1)},
  };
  for (const Case& c : cases) {
    std::string big_endian = c.little_endian;
    for (size_t i = 0; i + 1 < big_endian.size(); i += 2)
      std::swap(big_endian[i], big_endian[i + 1]);
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{64}}) {
      EXPECT_EQ(decode(c.little_endian, false, piece), c.utf8) << c.utf8 << " in " << piece;
      EXPECT_EQ(decode(big_endian, true, piece), c.utf8) << c.utf8 << " in " << piece;
    }
  }
}

}  // namespace
