// The closing summary: a line for each file that did not arrive, none for those that did.
#include "client/output/summary.h"

#include <gtest/gtest.h>

#include "support/fault_env.h"
#include "support/test_files.h"
#include "support/virtual_clock.h"

namespace {

std::string summary_of(const RunState& state) {
  TempDir dir;
  const std::string path = dir.file("summary");
  FILE* out = fopen(path.c_str(), "wb");
  write_not_downloaded(state, out);
  fclose(out);
  return read_file(path);
}

TEST(SummaryTest, OneLineForEachFileThatDidNotArrive) {
  VirtualClock clock;
  FaultEnv env{clock};
  RunState state{env};
  struct Case {
    const char* url;
    bool stored;
    std::optional<std::string> failure;
  } cases[] = {
      {"http://o/kept.bin", true, std::nullopt},
      {"http://o/gone.bin", false, "the mirror answered 404"},
      {"http://o/dir/", false, "the relay answered Failed: sha1 mismatch"},
      {"http://o/e\x1b[2J", false, std::nullopt},
  };
  for (const Case& c : cases) {
    Download* d = new_download(state.download_records, "s1", "1", c.url, std::nullopt);
    d->stored = c.stored;
    d->failure = c.failure;
    ASSERT_TRUE(queue_push(state.request_queue, d));
  }
  EXPECT_EQ(summary_of(state),
            "3 file(s) not downloaded:\n"
            "  gone.bin  s1  the mirror answered 404\n"
            "  download.bin  s1  the relay answered Failed: sha1 mismatch\n"
            "  e\\x1B[2J  s1  no answer from the relay\n");

  for (size_t i = 0; i < state.request_queue.count; ++i)
    queue_at(state.request_queue, i)->stored = true;
  EXPECT_EQ(summary_of(state), "");
}

}  // namespace
