// The digest computed beside the transfer equals the one-shot digest, however the bytes come.
#include "common/digest_pipeline.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/hex.h"

namespace {

constexpr size_t kBuffer = DigestPipeline::kBufferSize;
constexpr size_t kAll = DigestPipeline::kBufferCount * kBuffer;

std::vector<unsigned char> pattern(size_t length) {
  std::vector<unsigned char> data(length);
  uint32_t state = 12345;
  for (auto& byte : data) {
    state = state * 1103515245 + 12345;
    byte = static_cast<unsigned char>(state >> 16);
  }
  return data;
}

std::string one_shot(DigestKind kind, const std::vector<unsigned char>& data) {
  Digest digest(kind);
  digest.update(data.data(), data.size());
  return to_hex(digest.finish());
}

TEST(DigestPipelineTest, MatchesTheOneShotDigestForEverySizeAndBlock) {
  struct Case {
    size_t length;
    size_t block;
  } cases[] = {
      {0, 1},
      {1, 1},
      {4096, 4096},
      {kBuffer - 1, 16384},
      {kBuffer, kBuffer},
      {kBuffer, 1000},
      {kBuffer + 1, kBuffer},
      {kBuffer + 1, 16384},
      {kAll, kBuffer},                     // every buffer full at once
      {3 * kAll + 7, 65536},               // the caller waits for buffers to come back
      {3 * kAll + 7, 100003},              // blocks straddle buffers
      {3 * kBuffer + 5, 3 * kBuffer + 5},  // one block split over several buffers
      {2 * kAll, 2 * kAll},                // one block larger than every buffer together
  };
  for (DigestKind kind : {DigestKind::Sha1, DigestKind::Sha256}) {
    for (const auto& c : cases) {
      const auto data = pattern(c.length);
      DigestPipeline pipeline(kind);
      for (size_t at = 0; at < data.size(); at += c.block)
        ASSERT_TRUE(pipeline.update(data.data() + at, std::min(c.block, data.size() - at)));
      EXPECT_EQ(pipeline.finish(), one_shot(kind, data))
          << "length " << c.length << ", block " << c.block;
    }
  }
}

TEST(DigestPipelineTest, FinishIsFinal) {
  const auto data = pattern(kBuffer + 10);
  DigestPipeline pipeline(DigestKind::Sha1);
  ASSERT_TRUE(pipeline.update(data.data(), data.size()));
  const std::string digest = pipeline.finish();
  EXPECT_EQ(digest, one_shot(DigestKind::Sha1, data));
  EXPECT_FALSE(pipeline.update(data.data(), 1));
  EXPECT_EQ(pipeline.finish(), digest);
}

TEST(DigestPipelineTest, EmptyUpdateLeavesTheDigestAlone) {
  const auto data = pattern(10);
  DigestPipeline pipeline(DigestKind::Sha1);
  ASSERT_TRUE(pipeline.update(data.data(), 0));
  ASSERT_TRUE(pipeline.update(data.data(), data.size()));
  ASSERT_TRUE(pipeline.update(nullptr, 0));
  EXPECT_EQ(pipeline.finish(), one_shot(DigestKind::Sha1, data));
}

// An aborted transfer destroys the pipeline without finish(): the thread must stop and be
// joined whatever is queued (the sanitizer build and the test's time limit would catch a leak
// or a hang).
TEST(DigestPipelineTest, DestroyedWithoutFinish) {
  const auto data = pattern(2 * kAll + 3);
  for (size_t length : {size_t{0}, size_t{5}, kBuffer, kAll, data.size()}) {
    DigestPipeline pipeline(DigestKind::Sha256);
    EXPECT_TRUE(pipeline.update(data.data(), length)) << length;
  }
}

}  // namespace
