// What a person watching a run sees: every line as soon as it is written, also through a pipe
// and up to an interrupt, and a progress meter on a terminal only, gone before the next line.
#include <csignal>
#include <future>

#include <gtest/gtest.h>

#include "support/child_program.h"
#include "support/test_env.h"
#include "support/test_relay.h"

namespace {

// Long enough for a line that was written to have arrived; only a failing test waits this long.
constexpr int kArrivalMs = 5000;

// The lines a terminal shows after receiving `raw`: a carriage return goes back to the start of
// the line, a line feed on to the next one, any other character takes the place under the
// cursor. Blanks at the end of a line do not show.
std::string screen_text(const std::string& raw) {
  std::vector<std::string> lines(1);
  size_t column = 0;
  for (char c : raw) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      std::string& line = lines.back();
      if (line.size() <= column) line.resize(column + 1, ' ');
      line[column++] = c;
    }
  }
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    line.erase(line.find_last_not_of(' ') + 1);
    text += line + (i + 1 < lines.size() ? "\n" : "");
  }
  return text;
}

class StreamsTest : public ::testing::Test {
 protected:
  std::vector<std::string> single(const std::string& sha1, const std::string& size) {
    return {"-r", "127.0.0.1",
            "-p", std::to_string(relay.port()),
            "-s", sha1,
            "-z", size,
            "-u", "http://o/f.bin",
            "-l", "run.log"};
  }
  std::string header() const {
    return "Sending download requests for 1 download(s) on " + relay.base_url() + "\n";
  }
  std::string fetched(const std::string& sha1) const {
    return header() + "1 download(s) available.\nDownloading " + relay.base_url() +
           "/kxmirror/downloads/sha1/" + sha1 + "\n1 download(s) successfully downloaded.\n";
  }

  TempDir dir;
  TestRelay relay;
};

TEST_F(StreamsTest, APipeGetsTheFirstLineWhileTheRunWaits) {
  const std::string sha1 = sha1_hex("held");
  relay.serve_file(sha1, "held");
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  // The relay holds its first answer until the line has arrived, so the run cannot end before.
  relay.on_request([released](const RecordedRequest&) {
    released.wait_for(std::chrono::milliseconds(kArrivalMs));
  });
  ChildProgram child(QUONFETCH_BINARY, single(sha1, "4"), dir.path());
  EXPECT_TRUE(child.read_until(header(), kArrivalMs)) << child.out();
  release.set_value();
  ProgramRun r = child.finish();
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, fetched(sha1));
}

TEST_F(StreamsTest, LinesBeforeAnInterruptArrive) {
  relay.set_default_request_reply(status_reply("InProcess"));
  const std::string lines =
      header() + "Checking status of 1 downloads.\nSleeping for 30 seconds...\n";
  for (int signal_number : {SIGINT, SIGTERM}) {
    ChildProgram child(QUONFETCH_BINARY, single(sha1_hex("later"), "5"), dir.path());
    EXPECT_TRUE(child.read_until("Sleeping for 30 seconds...\n", kArrivalMs)) << child.out();
    kill(child.pid(), signal_number);
    ProgramRun r = child.finish();
    EXPECT_EQ(r.signal, signal_number);
    EXPECT_EQ(r.out, lines);
    EXPECT_EQ(read_file(dir.file("run.log")), lines);
  }
}

TEST_F(StreamsTest, AMeterOnATerminalOnlyAndGoneBeforeTheNextLine) {
  const std::string content(48 * 1024, 'm');
  const std::string sha1 = sha1_hex(content);
  ScriptedReply slow;
  slow.body = content;
  slow.chunk_size = 1024;
  slow.chunk_delay_ms = 10;  // the fetch lasts about half a second: one redraw at least
  relay.script_path("/kxmirror/downloads/sha1/" + sha1, {slow});
  const std::string expected = fetched(sha1);

  ChildProgram piped(QUONFETCH_BINARY, single(sha1, "49152"), dir.path());
  ProgramRun p = piped.finish();
  EXPECT_EQ(p.out, expected);
  EXPECT_EQ(p.err, "");

  const int columns = 40;
  ChildProgram on_terminal(QUONFETCH_BINARY, single(sha1, "49152"), dir.path(),
                           ChildStreams::Terminal, columns);
  ProgramRun t = on_terminal.finish();
  EXPECT_EQ(t.exit_status, 0);
  EXPECT_NE(t.out.find(" of 48.0 KiB "), std::string::npos) << t.out;
  // Each drawing of the meter fits the terminal, so it never wraps onto a second line.
  size_t start = 0;
  for (size_t end; (end = t.out.find_first_of("\r\n", start)) != std::string::npos;
       start = end + 1) {
    const std::string piece = t.out.substr(start, end - start);
    if (piece.find(" of 48.0 KiB ") != std::string::npos) {
      EXPECT_LT(piece.size(), size_t{columns}) << piece;
    }
  }
  // Once drawn, the screen holds the lines of the pipe and nothing of the meter.
  EXPECT_EQ(screen_text(t.out), expected);
  EXPECT_EQ(read_file(dir.file("run.log")), expected);
}

}  // namespace
