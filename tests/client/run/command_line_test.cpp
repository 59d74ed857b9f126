// The command line: options, validation, usage, the log file and the deadline.
#include "client/run/command_line.h"

#include <gtest/gtest.h>

#include <regex>

#include "client/run/list_file.h"
#include "common/version.h"

#include "support/fault_env.h"
#include "support/test_env.h"
#include "support/virtual_clock.h"

namespace {

Settings read(std::vector<std::string> args) {
  args.insert(args.begin(), "quonfetch");
  Settings out;
  read_options(args, out);
  return out;
}

using Text = std::optional<std::string>;

TEST(ReadOptionsTest, EveryOptionSetsItsField) {
  Settings s = read({"-r", "relay", "-p", "8080", "-f",  "list", "-s",  "S",  "-q", "Q",  "-z",
                     "10", "-u",    "U",  "-l",   "log", "-o",   "out", "-t", "5",  "-d", "-c"});
  EXPECT_EQ(s.relay, Text("relay"));
  EXPECT_EQ(s.port, 8080);
  EXPECT_EQ(s.list_path, Text("list"));
  EXPECT_EQ(s.sha1, Text("S"));
  EXPECT_EQ(s.sha256, Text("Q"));
  EXPECT_EQ(s.size, Text("10"));
  EXPECT_EQ(s.url, Text("U"));
  EXPECT_EQ(s.log_path, Text("log"));
  EXPECT_EQ(s.output_dir, Text("out"));
  EXPECT_EQ(s.timeout_minutes, 5);
  EXPECT_EQ(s.verbose, 1);
  EXPECT_TRUE(s.keep_partial);
}

TEST(ReadOptionsTest, DefaultsWhenNothingIsGiven) {
  Settings s = read({});
  EXPECT_EQ(s.port, 52311);
  EXPECT_EQ(s.timeout_minutes, 60);
  EXPECT_EQ(s.verbose, 0);
  EXPECT_FALSE(s.keep_partial);
  EXPECT_FALSE(s.relay || s.list_path || s.sha1 || s.sha256 || s.size || s.url || s.log_path ||
               s.output_dir);
}

TEST(ReadOptionsTest, ValuesAreTakenWhateverTheyLookLike) {
  Settings s = read({"-r", "-f", "list"});  // "list" is then a bare word
  EXPECT_EQ(s.relay, Text("-f"));
  EXPECT_FALSE(s.list_path);
  s = read({"-r", "a", "-r", "b", "-s", "-d", "-o", "-c"});
  EXPECT_EQ(s.relay, Text("b"));  // the last occurrence wins
  EXPECT_EQ(s.sha1, Text("-d"));
  EXPECT_EQ(s.verbose, 0);  // swallowed as a value
  EXPECT_FALSE(s.keep_partial);
  s = read({"-r", ""});
  EXPECT_EQ(s.relay, Text(""));  // empty, not absent
}

TEST(ReadOptionsTest, ValueOptionStandingLastIsSkipped) {
  Settings s = read({"-r", "relay", "-f", "list", "-t"});
  EXPECT_EQ(s.timeout_minutes, 60);
  s = read({"-t", "5", "-t"});
  EXPECT_EQ(s.timeout_minutes, 5);
  s = read({"-r", "relay", "-d"});
  EXPECT_EQ(s.verbose, 1);
}

TEST(ReadOptionsTest, UnknownArgumentsAreSkipped) {
  Settings s =
      read({"-R", "x", "--relay", "y", "-r=z", "--help", "--version", "-x", "-r", "relay"});
  EXPECT_EQ(s.relay, Text("relay"));
  EXPECT_FALSE(s.list_path);
}

TEST(AsksForVersionTest, OnlyAsTheSoleArgument) {
  struct Case {
    std::vector<std::string> args;
    bool asks;
  } cases[] = {
      {{"--version"}, true},
      {{}, false},
      {{"--version", "--version"}, false},
      {{"--version", "-d"}, false},
      {{"-r", "relay", "-f", "list", "--version"}, false},
      {{"-r", "--version"}, false},
      {{"--Version"}, false},
      {{"-version"}, false},
      {{"--version="}, false},
      {{"--version "}, false},
      {{"-v"}, false},
  };
  for (auto c : cases) {
    c.args.insert(c.args.begin(), "quonfetch");
    EXPECT_EQ(asks_for_version(c.args), c.asks) << c.args.size() << " " << c.args.back();
  }
  EXPECT_FALSE(asks_for_version({"--version"}));  // the program's own name is not an argument
}

TEST(ReadOptionsTest, NumbersAreReadLikeAtoi) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {{"abc", 0},
               {"8080x", 8080},
               {"-5", -5},
               {" 42", 42},
               {"+7", 7},
               {"", 0},
               {"70000", 70000},
               {"99999999999", INT32_MAX},
               {"-99999999999", INT32_MIN}};
  for (const auto& c : cases) {
    EXPECT_EQ(read({"-p", c.text}).port, c.value) << c.text;
    EXPECT_EQ(read({"-t", c.text}).timeout_minutes, c.value) << c.text;
  }
}

TEST(ReadOptionsTest, OutputDirLosesOneClosingQuote) {
  struct Case {
    const char* value;
    const char* dir;
  } cases[] = {{"C:\\out\"", "C:\\out"}, {"\"", ""},         {"out\"\"", "out\""},
               {"\"out", "\"out"},       {"o\"ut", "o\"ut"}, {"", ""}};
  for (const auto& c : cases) EXPECT_EQ(read({"-o", c.value}).output_dir, Text(c.dir)) << c.value;
}

TEST(OptionsSufficientTest, RelayAndEitherListOrSingleDownload) {
  struct Case {
    std::vector<std::string> args;
    bool enough;
  } cases[] = {
      {{}, false},
      {{"-r", "r", "-s", "S", "-z", "10", "-u", "U"}, true},
      {{"-r", "r", "-f", "list"}, true},
      {{"-r", "r", "-f", "list", "-s", "S"}, true},
      {{"-r", "r", "-s", "S", "-z", "10"}, false},
      {{"-r", "r", "-q", "Q"}, false},
      {{"-f", "list", "-s", "S", "-z", "1", "-u", "U"}, false},
      {{"-r", "-f", "list"}, false},
      {{"-r", "", "-s", "", "-z", "", "-u", ""}, true},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(options_sufficient(read(c.args)), c.enough) << joined;
  }
}

TEST(ParseCommandLineTest, SingleDownloadAndDeadline) {
  VirtualClock clock(1000);
  FaultEnv env{clock};
  RunState state{env};
  CommandLine command = parse_command_line(
      {"quonfetch", "-r", "relay", "-s", "S", "-z", "10", "-u", "U", "-t", "-5"});
  ASSERT_FALSE(command.exit_status);
  state.settings = command.settings;
  state.deadline = deadline_after(clock.now(), state.settings.timeout_minutes);
  ASSERT_TRUE(read_requests(state).ok());
  ASSERT_EQ(state.request_queue.count, 1u);
  const Download& d = *queue_at(state.request_queue, 0);
  EXPECT_EQ(d.sha1, Text("S"));
  EXPECT_EQ(d.size, Text("10"));
  EXPECT_EQ(d.url, Text("U"));
  EXPECT_FALSE(d.sha256);
  EXPECT_FALSE(d.status);
  EXPECT_EQ(state.deadline, 1000 - 300);
  EXPECT_FALSE(state.settings.log_enabled());
}

TEST(ParseCommandLineTest, DeadlineDoesNotOverflow) {
  Settings settings = parse_command_line({"quonfetch", "-r", "relay", "-s", "S", "-z", "1", "-u",
                                          "U", "-t", "2147483647"})
                          .settings;
  EXPECT_EQ(deadline_after(1000, settings.timeout_minutes), 1000 + int64_t{2147483647} * 60);
}

// What only a process shows: usage text, exit statuses, the log file.
class CommandLineProcessTest : public ::testing::Test {
 protected:
  ProgramRun run(std::vector<std::string> args) {
    return run_program(QUONFETCH_BINARY, args, dir.path());
  }
  TempDir dir;
};

const char kUsage[] =
    "Quonfetch.exe -r <relay url> [-p <port>] -f <file> -t <timeout(m)>\n\n"
    "-r    Name of relay from which to download files through\n"
    "-p    Port on relay which is used for Korvex traffic (Optional Default:52311)\n"
    "-f    File containing downloads on each line with size, sha1, url separated by <tab>\n"
    "-s    Sha1 of file to individually download if not using -f\n"
    "-q    Sha2 of file to individually download if not using -f\n"
    "-z    Size of file to individually download if not using -f\n"
    "-u    URL of file to individually download if not using -f\n"
    "-l    Log file to write\n"
    "-d    Verbose debug logging\n"
    "-o    Directory to save downloads to\n"
    "-t    Amount of time in minutes to quit if download does not become available "
    "(Default: 60)\n\n";

TEST_F(CommandLineProcessTest, InsufficientOptionsPrintUsageAndExitZero) {
  write_file(dir.file("run.log"), "keep me");
  for (auto args : std::vector<std::vector<std::string>>{
           {}, {"--help"}, {"-r", "r", "-s", "S", "-z", "1", "-l", "run.log"}}) {
    ProgramRun r = run(args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(read_file(dir.file("run.log")), "keep me");  // never touched without a run
}

TEST_F(CommandLineProcessTest, VersionAloneIsPrintedAndExitsZero) {
  ProgramRun r = run({"--version"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, std::string("quonfetch ") + kQuonfetchVersion + "\n");
  EXPECT_TRUE(std::regex_match(r.out, std::regex("quonfetch [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;
  EXPECT_EQ(r.err, "");
  r = run({"--version", "-r", "relay"});  // skipped among other arguments
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, kUsage);
}

TEST_F(CommandLineProcessTest, MissingListFileIsFatal) {
  ProgramRun r = run({"-r", "127.0.0.1", "-f", "missing.txt", "-l", "run.log"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "ERROR: Can't open file missing.txt\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(dir.file("run.log")), r.out);

  r = run({"-r", "127.0.0.1", "-f", ""});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "ERROR: Can't open file \n");
}

}  // namespace
