// Console and log-file lines.
#include "client/output/log.h"

#include <gtest/gtest.h>

#include "client/records/run_state.h"
#include "support/fault_env.h"
#include "support/test_env.h"
#include "support/virtual_clock.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  void enable_log() { state.settings.log_path = dir.file("run.log"); }
  VirtualClock clock;
  FaultEnv env{clock};
  RunState state{env};
  TempDir dir;
};

TEST_F(LogTest, LogFileHoldsExactlyWhatTheConsoleShows) {
  enable_log();
  testing::internal::CaptureStdout();
  log_message(state.settings, "Downloading %s", "http://h/a%20b%s%d");
  log_message(state.settings, "%zu download(s) available.", size_t{3});
  log_message(state.settings, "Failed response from %s\nCode: %ld", "u", 500L);
  std::string out = testing::internal::GetCapturedStdout();
  const std::string expected =
      "Downloading http://h/a%20b%s%d\n3 download(s) available.\nFailed response from u\n"
      "Code: 500\n";
  EXPECT_EQ(out, expected);
  EXPECT_EQ(read_file(*state.settings.log_path), expected);
}

TEST_F(LogTest, VeryLongMessagesLeaveWholeWithOneLineFeed) {
  enable_log();
  for (size_t length : {size_t{8190}, size_t{8191}, size_t{20000}}) {
    write_file(*state.settings.log_path, "");
    std::string text(length, 'x');
    testing::internal::CaptureStdout();
    log_message(state.settings, "%s", text.c_str());
    log_message(state.settings, "next");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, text + "\nnext\n") << length;
    EXPECT_EQ(read_file(*state.settings.log_path), out) << length;
  }
}

TEST_F(LogTest, DebugLinesOnlyInVerboseMode) {
  enable_log();
  testing::internal::CaptureStdout();
  log_debug(state.settings, "Contents of response: %s", "quiet");
  state.settings.verbose = 1;
  log_debug(state.settings, "Contents of response: %s", "loud");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Contents of response: loud\n");
  EXPECT_EQ(read_file(*state.settings.log_path), out);
}

TEST_F(LogTest, UnwritableLogLeavesTheConsoleAlone) {
  for (std::string path : {dir.path(), dir.file("missing/run.log"), std::string()}) {
    state.settings.log_path = path;
    testing::internal::CaptureStdout();
    log_message(state.settings, "still here");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "still here\n") << path;
  }
}

TEST_F(LogTest, LogFileRemovedBetweenMessagesIsMadeAgain) {
  enable_log();
  testing::internal::CaptureStdout();
  log_message(state.settings, "one");
  std::remove(state.settings.log_path->c_str());
  log_message(state.settings, "two");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(read_file(*state.settings.log_path), "two\n");
}

TEST_F(LogTest, FatalErrorWritesItsLineAndReturnsItAsFatal) {
  enable_log();
  testing::internal::CaptureStdout();
  log_message(state.settings, "before");
  Status fatal = fatal_error(state.settings, "ERROR: Can't open file %s", "x%sy");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "before\nERROR: Can't open file x%sy\n");
  EXPECT_EQ(fatal.code(), Status::Code::Fatal);
  EXPECT_EQ(fatal.message(), "ERROR: Can't open file x%sy");
  EXPECT_EQ(read_file(*state.settings.log_path), "before\nERROR: Can't open file x%sy\n");
}

TEST(FormatBoundedTest, CutsLikeSnprintf) {
  EXPECT_EQ(format_bounded(6, "%s", "abcdefgh"), "abcde");
  EXPECT_EQ(format_bounded(9, "%s", "abcdefgh"), "abcdefgh");
  EXPECT_EQ(format_bounded(1, "%s", "abc"), "");
}

}  // namespace
