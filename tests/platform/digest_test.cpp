// SHA-1 and SHA-256 through the platform's cryptography library: known digests, and the same
// digest whether the bytes come at once or in pieces.
#include "platform/digest.h"

#include <gtest/gtest.h>

#include "common/hex.h"

namespace {

struct Known {
  DigestKind kind;
  std::string input;
  std::string hex;
};

TEST(DigestTest, KnownDigests) {
  const std::string million(1'000'000, 'a');
  const Known cases[] = {
      {DigestKind::Sha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {DigestKind::Sha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {DigestKind::Sha1, million, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {DigestKind::Sha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {DigestKind::Sha256, "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {DigestKind::Sha256, million,
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    Digest digest(c.kind);
    digest.update(c.input.data(), c.input.size());
    std::string raw = digest.finish();
    EXPECT_EQ(raw.size() * 2, digest_hex_length(c.kind));
    EXPECT_EQ(to_hex(raw), c.hex) << c.input.size() << " bytes";
  }
}

TEST(DigestTest, PiecesGiveTheDigestOfTheWhole) {
  std::string data;
  for (int i = 0; i < 100'000; ++i) data += static_cast<char>(i * 7);
  for (DigestKind kind : {DigestKind::Sha1, DigestKind::Sha256}) {
    Digest pieces(kind);
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 + 1)
      pieces.update(data.data() + at, std::min(step, data.size() - at));
    Digest moved = std::move(pieces);
    EXPECT_EQ(to_hex(moved.finish()), digest_hex(kind, data));
  }
}

}  // namespace
