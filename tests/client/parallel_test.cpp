// -j: records whose exchanges with the relay run side by side, each keeping its own rules
// (retries, the move to https, the sha256 mirror after the sha1 one), its own file and its own
// lines; at most N connections; the deadline and an interrupt with fetches in flight.
#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "support/driver_fixture.h"
#include "support/run_lines.h"
#include "support/test_env.h"
#include "support/test_relay.h"

namespace {

// How long a helper waits for something the run is about to do; only a failing test waits so long.
constexpr int kPatienceMs = 10000;

// The comparison every whole-output check makes under -j: records may interleave, but nothing
// else may move.
TEST(RunLinesTest, WhatMayMoveUnderWidth) {
  const std::string head = "Sending download requests for 2 download(s) on http://h\n";
  const std::string pass = "2 download(s) available.\n",
                    end = "1 download(s) successfully downloaded.\n";
  const std::string a = "Downloading A1\nError downloading A1 Response:404\nDownloading A2\n";
  const std::string b = "Downloading B1\n";
  const std::string expected = head + pass + a + b + end;
  struct Case {
    const char* what;
    std::string actual;
    bool same;
  } cases[] = {
      {"records interleaved",
       head + pass + "Downloading A1\n" + b +
           "Error downloading A1 Response:404\nDownloading A2\n" + end,
       true},
      {"a record's lines swapped",
       head + pass + b + "Downloading A2\nDownloading A1\n" +
           "Error downloading A1 Response:404\n" + end,
       false},
      {"a line before its pass line", head + b + pass + a + end, false},
      {"the last line early", head + pass + a + end + b, false},
      {"a line lost", head + pass + a + end, false},
      {"a line twice", head + pass + a + b + b + end, false},
      {"the last line cut", head + pass + a + b + end.substr(0, end.size() - 1), false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(static_cast<bool>(same_lines_per_record(c.actual, expected, {{"A1", "A2"}, {"B1"}})),
              c.same)
        << c.what;
}

class ParallelTest : public ::testing::Test {
 protected:
  ProgramRun quonfetch(const TestRelay& to, std::vector<std::string> args,
                       const std::function<void(int)>& on_started = nullptr) {
    std::vector<std::string> all{"-r", "127.0.0.1", "-p", std::to_string(to.port()), "-o", "out"};
    all.insert(all.end(), args.begin(), args.end());
    return run_client(all, dir.path(), 0, on_started);
  }
  // A list file of one record per content, named n0.bin, n1.bin, ..., each served by `to`;
  // returns their sha1s.
  std::vector<std::string> list_of(TestRelay& to, const std::vector<std::string>& contents) {
    std::vector<std::string> sha1s;
    std::string list;
    for (size_t i = 0; i < contents.size(); ++i) {
      sha1s.push_back(sha1_hex(contents[i]));
      to.serve_file(sha1s.back(), contents[i]);
      list += sha1s.back() + " " + std::to_string(contents[i].size()) + " http://o/n" +
              std::to_string(i) + ".bin\n";
    }
    write_file(dir.file("list"), list);
    return sha1s;
  }

  TempDir dir;
};

// Refused values end the run before the relay hears of it; a bare -j standing last is ignored.
TEST_F(ParallelTest, WidthValues) {
  TestRelay relay;
  const std::string sha1 = sha1_hex("x");
  relay.serve_file(sha1, "x");
  const std::string fetched = "Sending download requests for 1 download(s) on " + relay.base_url() +
                              "\n1 download(s) available.\nDownloading " + relay.base_url() +
                              "/kxmirror/downloads/sha1/" + sha1 +
                              "\n1 download(s) successfully downloaded.\n";
  struct Case {
    std::vector<std::string> width;
    int exit_status;
    std::string out;
  } cases[] = {
      {{"-j", "0"}, 1, "Error: -j takes a number from 1 to 64: 0\n"},
      {{"-j", "65"}, 1, "Error: -j takes a number from 1 to 64: 65\n"},
      {{"-j", "-1"}, 1, "Error: -j takes a number from 1 to 64: -1\n"},
      {{"-j", "x"}, 1, "Error: -j takes a number from 1 to 64: x\n"},
      {{"-j", "4x"}, 1, "Error: -j takes a number from 1 to 64: 4x\n"},
      {{"-j", ""}, 1, "Error: -j takes a number from 1 to 64: \n"},
      {{"-j", "1"}, 0, fetched},
      {{"-j", "64"}, 0, fetched},
      {{"-j", "064"}, 0, fetched},
      {{"-j", "4294967297"}, 1, "Error: -j takes a number from 1 to 64: 4294967297\n"},
      {{"-j"}, 0, fetched},
  };
  for (const Case& c : cases) {
    const size_t before = relay.requests().size();
    std::vector<std::string> args{"-s", sha1, "-z", "1", "-u", "http://o/x"};
    args.insert(args.end(), c.width.begin(), c.width.end());
    ProgramRun r = quonfetch(relay, args);
    const std::string value = c.width.size() > 1 ? c.width[1] : "(bare)";
    EXPECT_EQ(r.exit_status, c.exit_status) << value;
    EXPECT_EQ(r.out, c.out) << value;
    EXPECT_EQ(relay.requests().size() - before, c.exit_status == 0 ? 2u : 0u) << value;
    EXPECT_EQ(file_exists(dir.file("out/x")), c.exit_status == 0) << value;
    std::filesystem::remove_all(dir.file("out"));
  }
}

// The driver in-process at -j 4, its pauses on the virtual clock.
class ParallelDriverTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    state->settings.jobs = 4;
  }
  // A record named `name` whose file is `content`, served by nothing yet.
  Download* record(const std::string& content, const std::string& name) {
    Download* d =
        new_download(state->download_records, sha1_hex(content), std::to_string(content.size()),
                     "http://origin/" + name, sha256_hex(content));
    EXPECT_TRUE(queue_push(state->request_queue, d));
    return d;
  }
};

// A relay that speaks only TLS: the first records fail over http and move to https; records
// started after the move go there at once. Around them, retries on 503 and on a cut reply, the
// sha256 mirror after a missing sha1 one, and a record whose mirrors both fail.
TEST_F(ParallelDriverTest, RecordsKeepTheirOwnRules) {
  relay = std::make_unique<TestRelay>(TestRelay::Scheme::Https);
  use_relay(*relay);
  enum Kind { Plain, Busy, Cut, Sha256Only, Lost };
  const Kind kinds[] = {Plain, Busy, Cut, Sha256Only, Lost, Plain, Busy, Plain};
  ScriptedReply busy = status_reply("Available"), cut = status_reply("Available"), missing;
  busy.code = 503;
  cut.drop_after = 0;
  missing.code = 404;
  std::vector<Download*> records;
  std::vector<std::vector<std::string>> lines;  // each record's lines at -j 1
  const std::string base = relay->base_url() + "/kxmirror/downloads/";
  for (size_t i = 0; i < std::size(kinds); ++i) {
    const std::string content = "record " + std::to_string(i);
    Download* d = records.emplace_back(record(content, "r" + std::to_string(i)));
    std::vector<std::string>& mine = lines.emplace_back();
    mine.push_back("Downloading " + base + "sha1/" + *d->sha1);
    if (kinds[i] == Busy) relay->script_requests(*d->sha1, {busy, status_reply("Available")});
    if (kinds[i] == Cut) relay->script_requests(*d->sha1, {cut, status_reply("Available")});
    if (kinds[i] != Sha256Only && kinds[i] != Lost) {
      relay->serve_file(*d->sha1, content);
      continue;
    }
    ScriptedReply last = missing;
    last.code = kinds[i] == Lost ? 500 : 200;
    last.body = kinds[i] == Lost ? "gone" : content;
    relay->script_path("/kxmirror/downloads/sha1/" + *d->sha1, {missing});
    relay->script_path("/kxmirror/downloads/sha256/" + *d->sha256, {last});
    mine.push_back("Error downloading " + base + "sha1/" + *d->sha1 + " Response:404");
    mine.push_back("Downloading " + base + "sha256/" + *d->sha256);
    if (kinds[i] == Lost)
      mine.push_back("Error downloading " + base + "sha256/" + *d->sha256 + " Response:500");
  }
  const std::string out = run();

  EXPECT_TRUE(out.ends_with("\n7 download(s) successfully downloaded.\n")) << out;
  const auto posts = relay->requests_to("/DownloadRequest");
  for (size_t i = 0; i < std::size(kinds); ++i) {
    const Download& d = *records[i];
    EXPECT_EQ(record_lines(out, {*d.sha1, *d.sha256}), lines[i]) << "record " << i << "\n" << out;
    const std::string file = dir.file("out/r" + std::to_string(i));
    if (kinds[i] == Lost)
      EXPECT_FALSE(file_exists(file));
    else
      EXPECT_EQ(read_file(file), "record " + std::to_string(i));
    const auto asked = std::count_if(posts.begin(), posts.end(), [&](const RecordedRequest& post) {
      return post.body.find("sha1=" + *d.sha1) != std::string::npos;
    });
    EXPECT_EQ(asked, kinds[i] == Busy || kinds[i] == Cut ? 2 : 1) << "record " << i;
  }
  // The first four records start together over http: each fails there twice before any of them
  // can move, and a third time unless another's move came first. Had a record started after the
  // move gone to http, its failures would be more than the first four can make.
  const size_t over_http = count_of(out, "Failed response from http://");
  EXPECT_GE(over_http, 9u) << out;
  EXPECT_LE(over_http, 12u) << out;
  EXPECT_EQ(count_of(out, "\nCode: 503\n"), 2u) << out;
  EXPECT_EQ(count_of(out, "Failed response from https://"), 3u) << out;
  EXPECT_EQ(dir.entries("out").size(), 7u);
}

// The move to https holds for every request started after it, a retry of another record
// included. On a relay that speaks only http: A fails three times and moves (its fourth attempt
// starts at second 9); B is answered at second 6 before A's third answer (A's are held) and lets
// C start, whose first answer (a 503 held longer) sends C's retry to second 9 as well, after
// A's move.
TEST_F(ParallelDriverTest, TheMoveHoldsForOthersRetries) {
  state->settings.jobs = 2;
  ScriptedReply busy = status_reply("Available");
  busy.code = 503;
  ScriptedReply held = busy, held_longer = busy;
  held.delay_ms = 200;
  held_longer.delay_ms = 400;
  Download* a = add("a", "a");
  Download* b = add("b", "b");
  Download* c = add("c", "c");
  relay->script_requests(*a->sha1, {held});
  relay->script_requests(*b->sha1, {busy, busy, status_reply("Available")});
  relay->script_requests(*c->sha1, {held_longer, status_reply("Available")});
  const std::string out = run();
  auto posts_of = [&](const Download* d) {
    const auto posts = relay->requests_to("/DownloadRequest");
    return std::count_if(posts.begin(), posts.end(), [&](const RecordedRequest& post) {
      return post.body.find("sha1=" + *d->sha1) != std::string::npos;
    });
  };
  EXPECT_EQ(posts_of(a), 3) << out;
  EXPECT_EQ(posts_of(b), 3) << out;
  EXPECT_EQ(posts_of(c), 1) << out;  // its retry went to https, which this relay does not speak
  EXPECT_NE(out.find("Discarding request: http://origin/c\n"), std::string::npos) << out;
}

// The deadline passes while four fetches are in flight (the clock jumps as the fourth makes its
// temporary file) and two records are still in process: the fetches are ended where they stand,
// no status pass or pause follows, and the run ends at the deadline, leaving no temporary file.
TEST_F(ParallelDriverTest, DeadlineEndsTheFetchesInFlight) {
  state->settings.timeout_minutes = 1;
  state->deadline = clock.now() + 60;
  std::vector<Download*> fetched, waiting;
  for (int i = 0; i < 4; ++i)
    fetched.push_back(add("fetched " + std::to_string(i), std::to_string(i)));
  for (int i = 4; i < 6; ++i) {
    waiting.push_back(add("waiting " + std::to_string(i), std::to_string(i)));
    relay->script_requests(*waiting.back()->sha1, {status_reply("InProcess")});
  }
  int temporary_files = 0;
  env.set_hook([&](const std::string& call, const std::string&) {
    if (call == "new_temporary_file" && ++temporary_files == 4) clock.advance(3600);
  });
  const std::string out = run();
  env.set_hook(nullptr);

  EXPECT_EQ(out, "Sending download requests for 6 download(s) on " + base() +
                     "\n4 download(s) available.\nTimeout of 1 minute(s) reached.\n"
                     "0 download(s) successfully downloaded.\n");
  EXPECT_EQ(temporary_files, 4);
  EXPECT_TRUE(dir.entries("out").empty());
  for (Download* d : fetched) EXPECT_EQ(d->failure, "the deadline passed during its download");
  for (Download* d : waiting) EXPECT_EQ(d->failure, "still InProcess at the deadline");
}

// With -c, two records of one file under two names fetched side by side: only one of them may
// write the file's part file, or each would append its bytes to the other's.
TEST_F(ParallelDriverTest, OnePartFileForOneFetchAtATime) {
  state->settings.keep_partial = true;
  const std::string content(200000, 'p');
  add(content, "a.bin");
  add(content, "b.bin");
  ScriptedReply slow;
  slow.body = content;
  slow.chunk_size = 20000;
  slow.chunk_delay_ms = 5;  // both are in flight together
  relay->script_path("/kxmirror/downloads/sha1/" + sha1_hex(content), {slow});
  const std::string out = run();
  EXPECT_TRUE(out.ends_with("2 download(s) successfully downloaded.\n")) << out;
  EXPECT_EQ(dir.entries("out"), (std::vector<std::string>{"a.bin", "b.bin"}));
  for (const char* name : {"a.bin", "b.bin"})
    EXPECT_TRUE(read_file(dir.file("out/") + name) == content) << name;
}

// Two records of one file name side by side: one file stands, whole, and the other record is
// refused as at -j 1, whichever of them comes first.
TEST_F(ParallelTest, OneNameTwoFilesSideBySide) {
  TestRelay relay;
  const std::string first = "first file", second = "second file, longer";
  ScriptedReply held;
  held.delay_ms = 200;  // both are in flight together unless one was refused at its start
  std::string list;
  for (const std::string& content : {first, second}) {
    held.body = content;
    relay.script_path("/kxmirror/downloads/sha1/" + sha1_hex(content), {held});
    list += sha1_hex(content) + " " + std::to_string(content.size()) + " http://o/same.bin\n";
  }
  write_file(dir.file("list"), list);
  ProgramRun r = quonfetch(relay, {"-f", "list", "-j", "4"});
  EXPECT_EQ(count_of(r.out, "Error: " + client_path("out", "same.bin") +
                                " was already written by this run\n"),
            1u)
      << r.out;
  EXPECT_TRUE(r.out.ends_with("\n1 download(s) successfully downloaded.\n")) << r.out;
  EXPECT_EQ(dir.entries("out"), std::vector<std::string>{"same.bin"});
  const std::string kept = read_file(dir.file("out/same.bin"));
  EXPECT_TRUE(kept == first || kept == second) << kept;
}

// Twelve records at -j 4 go over at most four kept-alive connections, and over more than one:
// the first request is held until a second one arrives beside it.
TEST_F(ParallelTest, AtMostWidthConnections) {
  TestRelay relay;
  std::mutex mutex;
  std::condition_variable arrived;
  int requests = 0;
  relay.on_request([&](const RecordedRequest&) {
    std::unique_lock lock(mutex);
    ++requests;
    arrived.notify_all();
    arrived.wait_for(lock, std::chrono::milliseconds(kPatienceMs), [&] { return requests >= 2; });
  });
  std::vector<std::string> contents;
  for (int i = 0; i < 12; ++i) contents.push_back("connection " + std::to_string(i));
  list_of(relay, contents);
  ProgramRun r = quonfetch(relay, {"-f", "list", "-j", "4"});
  EXPECT_TRUE(r.out.ends_with("\n12 download(s) successfully downloaded.\n")) << r.out;
  EXPECT_EQ(relay.requests().size(), 24u);
  EXPECT_GE(relay.connections_seen(), 2u);
  EXPECT_LE(relay.connections_seen(), 4u);
}

// An interrupt while eight large bodies arrive side by side: every temporary file goes with the
// run.
TEST_F(ParallelTest, InterruptWithEightFetchesInFlight) {
  TestRelay relay;
  std::vector<std::string> contents;
  for (char c = 'a'; c < 'i'; ++c) contents.push_back(std::string(512 * 1024, c));
  std::vector<std::string> sha1s = list_of(relay, contents);
  for (size_t i = 0; i < sha1s.size(); ++i) {
    ScriptedReply slow;
    slow.body = contents[i];
    slow.chunk_size = 4096;
    slow.chunk_delay_ms = 10;  // over a second for each body: caught in the middle
    relay.script_path("/kxmirror/downloads/sha1/" + sha1s[i], {slow});
  }
  std::thread interrupter;
  ProgramRun r = quonfetch(relay, {"-f", "list", "-j", "8"}, [&](int pid) {
    interrupter = std::thread([&, pid] {
      // Waits for eight fetches to have asked for their bodies and made their temporary files.
      for (int i = 0; i < kPatienceMs * 10; ++i) {
        size_t asked = 0;
        for (const std::string& sha1 : sha1s)
          asked += !relay.requests_to("/kxmirror/downloads/sha1/" + sha1).empty();
        if (asked == 8 && dir.entries("out").size() == 8) break;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      kill(pid, SIGINT);
    });
  });
  interrupter.join();
  EXPECT_TRUE(ended_by_interrupt(r)) << r.exit_status << " " << r.signal << "\n" << r.out;
  EXPECT_EQ(relay.requests().size(), 16u);
  EXPECT_EQ(dir.entries("out"), std::vector<std::string>{});
}

}  // namespace
