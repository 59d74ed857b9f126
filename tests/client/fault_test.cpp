// Faults and hostile input: broken connections, stalls, a full disk, a vanishing output folder,
// redirect loops and list files made of noise. Whatever happens, the run ends with the right
// lines, and no file stands under a target name unless it arrived whole with its digest.
#include <csignal>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "client/records/run_state.h"
#include "common/curl_handles.h"
#include "support/driver_fixture.h"
#include "support/test_env.h"
#include "support/test_relay.h"
#include "support/virtual_clock.h"

using namespace std::string_literals;

namespace {

const char kGoodCopy[] = "a good copy from an earlier run";

// The binary against the test relay, for faults that need no pause.
class BinaryFaultTest : public ::testing::Test {
 protected:
  ProgramRun quonfetch(std::vector<std::string> args, long file_size_limit = 0) {
    std::vector<std::string> all{"-r", "127.0.0.1", "-p", std::to_string(relay.port()),
                                 "-o", "out"};
    all.insert(all.end(), args.begin(), args.end());
    return run_client(all, dir.path(), file_size_limit);
  }
  ProgramRun fetch_one(const std::string& sha1, long file_size_limit = 0) {
    return quonfetch({"-s", sha1, "-z", "1", "-u", "http://o/f.bin"}, file_size_limit);
  }
  void keep_good_copy() {
    std::filesystem::create_directory(dir.file("out"));
    write_file(dir.file("out/f.bin"), kGoodCopy);
  }
  void expect_good_copy_alone() {
    EXPECT_EQ(read_file(dir.file("out/f.bin")), kGoodCopy);
    EXPECT_EQ(dir.entries("out"), std::vector<std::string>{"f.bin"});
  }
  // The run ended normally, with the fetch of `sha1` failing without a response.
  void expect_failed_fetch(const ProgramRun& r, const std::string& sha1) {
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(r.out.ends_with("Error downloading " + mirror(sha1) + " Response:0\n" +
                                "0 download(s) successfully downloaded.\n"))
        << r.out;
  }
  std::string mirror(const std::string& sha1) {
    return relay.base_url() + "/kxmirror/downloads/sha1/" + sha1;
  }

  TempDir dir;
  TestRelay relay;
};

// A connection cut in the middle of the body is asked for the rest a second later, which
// replaces the good copy once the file is whole.
TEST_F(BinaryFaultTest, ConnectionCutInTheMiddleOfTheBodyIsResumed) {
  keep_good_copy();
  const std::string content(200000, 'z');
  const std::string sha1 = sha1_hex(content);
  ScriptedReply cut, rest;
  cut.body = rest.body = content;
  cut.drop_after = 70000;
  rest.serve_ranges = true;
  relay.script_path("/kxmirror/downloads/sha1/" + sha1, {cut, rest});
  ProgramRun r = fetch_one(sha1);
  EXPECT_TRUE(r.out.ends_with("Downloading " + mirror(sha1) + "\nResuming " + mirror(sha1) +
                              " at byte 70000\n1 download(s) successfully downloaded.\n"))
      << r.out;
  EXPECT_TRUE(read_file(dir.file("out/f.bin")) == content);
  EXPECT_EQ(dir.entries("out"), std::vector<std::string>{"f.bin"});
  const auto gets = relay.requests_to("/kxmirror/downloads/sha1/" + sha1);
  ASSERT_EQ(gets.size(), 2u);
  EXPECT_EQ(gets[1].headers.find("Range")->second, "bytes=70000-");
}

TEST_F(BinaryFaultTest, DiskFillsDuringTheFetch) {
  keep_good_copy();
  const std::string content(1 << 20, 'd');
  const std::string sha1 = sha1_hex(content);
  relay.serve_file(sha1, content);
  ProgramRun r = fetch_one(sha1, 64 * 1024);
  expect_failed_fetch(r, sha1);
  expect_good_copy_alone();
}

TEST_F(BinaryFaultTest, RedirectLoopAndForeignSchemeOnTheMirror) {
  keep_good_copy();
  const std::string sha1(40, 'c');
  ScriptedReply loop;
  loop.code = 302;
  loop.location = "/kxmirror/downloads/sha1/" + sha1;
  ScriptedReply foreign;
  foreign.code = 302;
  foreign.location = "file:///etc/passwd";
  for (const auto& redirect : {loop, foreign}) {
    relay.script_path("/kxmirror/downloads/sha1/" + sha1, {redirect});
    expect_failed_fetch(fetch_one(sha1), sha1);
    expect_good_copy_alone();
  }
}

TEST_F(BinaryFaultTest, TrickledBodyArrivesWhole) {
  const std::string content(300, 't');
  const std::string sha1 = sha1_hex(content);
  ScriptedReply trickle;
  trickle.body = content;
  trickle.chunk_size = 1;
  trickle.chunk_delay_ms = 1;
  relay.script_path("/kxmirror/downloads/sha1/" + sha1, {trickle});
  ProgramRun r = fetch_one(sha1);
  EXPECT_TRUE(r.out.ends_with("1 download(s) successfully downloaded.\n")) << r.out;
  EXPECT_EQ(read_file(dir.file("out/f.bin")), content);
}

// An interrupt in the middle of the body: without -c nothing is left; with -c the bytes so far
// stay in the record's part file (never under the file's name), and the next run with -c asks
// only for the rest.
TEST_F(BinaryFaultTest, InterruptedFetch) {
  const std::string content(64 * 1024, 'i');
  const std::string sha1 = sha1_hex(content);
  const std::string part = ".quonfetch-" + sha1 + ".part";
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "-c" : "without -c");
    keep_good_copy();
    ScriptedReply slow;
    slow.body = content;
    slow.chunk_size = 512;
    slow.chunk_delay_ms = 5;  // long enough to be caught in the middle
    slow.serve_ranges = true;
    relay.script_path("/kxmirror/downloads/sha1/" + sha1, {slow});
    std::vector<std::string> args{"-r", "127.0.0.1", "-p", std::to_string(relay.port()),
                                  "-o", "out",       "-s", sha1,
                                  "-z", "65536",     "-u", "http://o/f.bin"};
    if (keep) args.push_back("-c");
    // The file being written is there, and with -c holds some bytes.
    auto in_the_middle = [&] {
      if (dir.entries("out").size() < 2) return false;
      std::error_code error;
      const auto bytes = std::filesystem::file_size(dir.file("out/" + part), error);
      return !keep || (!error && bytes > 1024);
    };
    std::thread interrupter;
    ProgramRun r = run_client(args, dir.path(), 0, [&](int pid) {
      interrupter = std::thread([&, pid] {
        for (int i = 0; i < 20000 && !in_the_middle(); ++i)
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        kill(pid, SIGINT);
      });
    });
    interrupter.join();
    EXPECT_TRUE(ended_by_interrupt(r)) << r.exit_status << " " << r.signal;
    if (!keep) {
      expect_good_copy_alone();
      continue;
    }
    EXPECT_EQ(read_file(dir.file("out/f.bin")), kGoodCopy);
    const std::string kept = read_file(dir.file("out/" + part));
    ASSERT_GT(kept.size(), 1024u);
    ASSERT_LT(kept.size(), content.size());
    const size_t gets_before = relay.requests_to("/kxmirror/downloads/sha1/" + sha1).size();
    slow.chunk_delay_ms = 0;
    relay.script_path("/kxmirror/downloads/sha1/" + sha1, {slow});
    ProgramRun next = quonfetch({"-s", sha1, "-z", "65536", "-u", "http://o/f.bin", "-c"});
    EXPECT_TRUE(next.out.ends_with("1 download(s) successfully downloaded.\n")) << next.out;
    EXPECT_TRUE(read_file(dir.file("out/f.bin")) == content);
    EXPECT_EQ(dir.entries("out"), std::vector<std::string>{"f.bin"});
    const auto gets = relay.requests_to("/kxmirror/downloads/sha1/" + sha1);
    ASSERT_EQ(gets.size(), gets_before + 1);
    EXPECT_EQ(gets.back().headers.find("Range")->second,
              "bytes=" + std::to_string(kept.size()) + "-");
  }
}

TEST_F(BinaryFaultTest, HostileListFiles) {
  // The relay answers every request with a status that files nothing: only the parse counts.
  relay.set_default_request_reply(status_reply("Failed"));
  std::mt19937 random(12345);
  std::string noise(256 * 1024, '\0');
  for (auto& c : noise) c = static_cast<char>(random());
  std::string nul_lines;
  for (int i = 0; i < 100; ++i) nul_lines += "a" + std::to_string(i) + " 1\0 http://o/x\n"s;
  const std::string long_field(1 << 20, 'L');
  std::string separators(5'000'000, ' ');
  for (size_t i = 0; i < separators.size(); i += 3) separators[i] = '\t';

  struct Case {
    const char* what;
    std::string content;
    long records;  // -1: whatever the noise yields
  } cases[] = {
      {"binary noise", noise, -1},
      {"NUL bytes", nul_lines, 0},
      {"very long lines",
       "a 1 http://o/" + long_field + " " + long_field + "\n" + long_field + "\n", 1},
      {"millions of separators",
       "a" + separators + "1" + separators + "http://o/a" + separators + "\n" + separators + "\n",
       1},
  };
  for (const auto& c : cases) {
    write_file(dir.file("list"), c.content);
    size_t before = relay.requests().size();
    ProgramRun r = quonfetch({"-f", "list"});
    EXPECT_EQ(r.exit_status, 0) << c.what;
    size_t sent = relay.requests().size() - before;
    if (c.records >= 0) {
      EXPECT_EQ(sent, static_cast<size_t>(c.records)) << c.what;
    }
    EXPECT_TRUE(r.out.starts_with("Sending download requests for " + std::to_string(sent) +
                                  " download(s) on "))
        << c.what;
    EXPECT_TRUE(r.out.ends_with("0 download(s) successfully downloaded.\n")) << c.what;
    EXPECT_FALSE(file_exists(dir.file("out"))) << c.what;
  }
}

TEST_F(BinaryFaultTest, HundredMegabyteListFile) {
  relay.set_default_request_reply(status_reply("Failed"));
  {
    FILE* list = fopen(dir.file("list").c_str(), "wb");
    ASSERT_NE(list, nullptr);
    fputs("a 1 http://o/a", list);
    std::string block(1 << 20, ' ');
    for (size_t i = 0; i < block.size(); i += 7) block[i] = '\n';
    for (int i = 0; i < 100; ++i) fwrite(block.data(), 1, block.size(), list);
    fputs("b 2 http://o/b\n", list);
    fclose(list);
  }
  ProgramRun r = quonfetch({"-f", "list"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(r.out.starts_with("Sending download requests for 2 download(s) on ")) << r.out;
  EXPECT_EQ(relay.requests().size(), 2u);
}

// The same run in-process, for faults that go through the retry and polling pauses.
using DriverFaultTest = DriverTest;

TEST_F(DriverFaultTest, ConnectionCutInTheMiddleOfARequestReply) {
  Download* d = add("content", "f.bin");
  ScriptedReply cut = status_reply("Available");
  cut.drop_after = 5;
  relay->script_requests(*d->sha1, {cut, status_reply("Available")});
  std::string out = run();
  EXPECT_NE(out.find("Code: 0\nWill retry (#2) in 3 seconds"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with("1 download(s) successfully downloaded.\n")) << out;
  EXPECT_EQ(read_file(dir.file("out/f.bin")), "content");
}

TEST_F(DriverFaultTest, RelayStopsAndComesBackWhileRecordsAreInProcess) {
  Download* d = add("patience", "p.bin");
  const std::string sha1 = *d->sha1;
  relay->script_requests(sha1, {status_reply("InProcess")});
  const int port = relay->port();
  int64_t stopped_at = 0;
  clock.on_wait([&](int64_t now) {
    if (relay && stopped_at == 0) {  // gone during the first pause...
      relay.reset();
      stopped_at = now;
    } else if (!relay && now >= stopped_at + 35) {  // ...and back in the middle of the retries
      relay = std::make_unique<TestRelay>(TestRelay::Scheme::Http, port);
      relay->serve_file(sha1, "patience");
    }
  });
  std::string out = run();
  EXPECT_NE(out.find("Code: 0\nWill retry"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with(
      "1 download(s) available.\nDownloading http://127.0.0.1:" + std::to_string(port) +
      "/kxmirror/downloads/sha1/" + sha1 + "\n1 download(s) successfully downloaded.\n"))
      << out;
  EXPECT_EQ(read_file(dir.file("out/p.bin")), "patience");
}

TEST_F(DriverFaultTest, StalledMirrorFailsWithinTheLimit) {
  state->fetch_limits.low_speed_bytes = 1000;
  state->fetch_limits.low_speed_seconds = 1;
  Download* d = add("stalled", "s.bin");
  ScriptedReply stall;
  stall.body = "stalled";
  stall.delay_ms = 2500;  // well past the 1 s limit, even on a loaded machine
  relay->script_path("/kxmirror/downloads/sha1/" + *d->sha1, {stall});
  std::string out = run();
  EXPECT_NE(out.find("Response:0\n0 download(s) successfully downloaded.\n"), std::string::npos)
      << out;
  EXPECT_FALSE(file_exists(dir.file("out/s.bin")));
}

TEST_F(DriverFaultTest, OutputFolderVanishesDuringTheRun) {
  Download* first = add("first", "1.bin");
  add("second", "2.bin");
  const std::string first_path = "/kxmirror/downloads/sha1/" + *first->sha1;
  const std::string out_dir = dir.file("out");
  relay->on_request([&](const RecordedRequest& request) {
    if (request.path == first_path) std::filesystem::remove_all(out_dir);
  });
  std::string out = run();
  // The body arrives whole, but its name can no longer be given to it.
  EXPECT_NE(out.find("Error opening file for write: " + out_dir + "/1.bin\nError downloading " +
                     relay->base_url() + first_path + " Response:0\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(out.ends_with("1 download(s) successfully downloaded.\n")) << out;
  EXPECT_EQ(dir.entries("out"), std::vector<std::string>{"2.bin"});
  EXPECT_EQ(read_file(dir.file("out/2.bin")), "second");
}

}  // namespace
