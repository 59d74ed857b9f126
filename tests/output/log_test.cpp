// Console and log-file lines.
#include "output/log.h"

#include <gtest/gtest.h>

#include "run/state.h"
#include "support/test_env.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  void enable_log() {
    settings.log_path = dir.file("run.log");
    settings.log_enabled = 1;
  }
  RunStateGuard state;
  TempDir dir;
};

TEST_F(LogTest, LogFileHoldsExactlyWhatTheConsoleShows) {
  enable_log();
  testing::internal::CaptureStdout();
  log_message("Downloading %s", "http://h/a%20b%s%d");
  log_message("%zu download(s) available.", size_t{3});
  log_message("Failed response from %s\nCode: %ld", "u", 500L);
  std::string out = testing::internal::GetCapturedStdout();
  const std::string expected =
      "Downloading http://h/a%20b%s%d\n3 download(s) available.\nFailed response from u\n"
      "Code: 500\n";
  EXPECT_EQ(out, expected);
  EXPECT_EQ(read_file(*settings.log_path), expected);
}

TEST_F(LogTest, VeryLongMessagesLeaveWholeWithOneLineFeed) {
  enable_log();
  for (size_t length : {size_t{8190}, size_t{8191}, size_t{20000}}) {
    write_file(*settings.log_path, "");
    std::string text(length, 'x');
    testing::internal::CaptureStdout();
    log_message("%s", text.c_str());
    log_message("next");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, text + "\nnext\n") << length;
    EXPECT_EQ(read_file(*settings.log_path), out) << length;
  }
}

TEST_F(LogTest, DebugLinesOnlyInVerboseMode) {
  enable_log();
  testing::internal::CaptureStdout();
  log_debug("Contents of response: %s", "quiet");
  settings.verbose = 1;
  log_debug("Contents of response: %s", "loud");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Contents of response: loud\n");
  EXPECT_EQ(read_file(*settings.log_path), out);
}

TEST_F(LogTest, UnwritableLogLeavesTheConsoleAlone) {
  for (std::string path : {dir.path(), dir.file("missing/run.log"), std::string()}) {
    settings.log_path = path;
    settings.log_enabled = 1;
    testing::internal::CaptureStdout();
    log_message("still here");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "still here\n") << path;
  }
}

TEST_F(LogTest, LogFileRemovedBetweenMessagesIsMadeAgain) {
  enable_log();
  testing::internal::CaptureStdout();
  log_message("one");
  std::remove(settings.log_path->c_str());
  log_message("two");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(read_file(*settings.log_path), "two\n");
}

TEST_F(LogTest, FatalErrorWritesItsLineLastAndExitsWithOne) {
  enable_log();
  EXPECT_EXIT(
      {
        log_message("before");
        fatal_error("ERROR: Can't open file %s", "x%sy");
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(read_file(*settings.log_path), "before\nERROR: Can't open file x%sy\n");
}

TEST(FormatBoundedTest, CutsLikeSnprintf) {
  EXPECT_EQ(format_bounded(6, "%s", "abcdefgh"), "abcde");
  EXPECT_EQ(format_bounded(9, "%s", "abcdefgh"), "abcdefgh");
  EXPECT_EQ(format_bounded(1, "%s", "abc"), "");
}

}  // namespace
