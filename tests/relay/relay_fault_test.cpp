// The relay under load and faults: many client processes at once, origins that break off, and
// a relay killed in the middle of a fetch.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "relay_harness.h"
#include "support/test_env.h"
#include "support/test_relay.h"
#include "test_origin.h"

namespace {

TEST(RelayLoadTest, ManyClientProcessesWithAMixOfDigests) {
  constexpr size_t kFiles = 8, kClients = 12, kRecordsPerClient = 20;
  TempDir dir;
  TestOrigin origin;
  std::vector<std::string> contents, lines;
  for (size_t f = 0; f < kFiles; ++f) {
    contents.push_back(std::string(1000 + 997 * f, static_cast<char>('a' + static_cast<int>(f))));
    const std::string path = "/f" + std::to_string(f) + ".bin";
    origin.serve(path, contents.back());
    lines.push_back(sha1_hex(contents.back()) + " " + std::to_string(contents.back().size()) + " " +
                    origin.url(path) + "\n");
  }
  InProcessRelay relay(test_relay_config(dir.file("store")));

  // Each client asks for files in an order of its own, so requests for the same and for
  // different digests arrive at the relay interleaved.
  std::vector<ProgramRun> runs(kClients);
  std::vector<std::thread> clients;
  for (size_t c = 0; c < kClients; ++c) {
    std::string list;
    for (size_t r = 0; r < kRecordsPerClient; ++r)
      list += lines[(c * 3 + r * (c % 5 + 1)) % kFiles];
    write_file(dir.file("list" + std::to_string(c)), list);
    clients.emplace_back([&, c] {
      runs[c] = run_program(QUONFETCH_BINARY,
                            {"-r", "127.0.0.1", "-p", std::to_string(relay.port()), "-f",
                             "list" + std::to_string(c), "-o", "out" + std::to_string(c)},
                            dir.path());
    });
  }
  for (auto& client : clients) client.join();

  for (size_t c = 0; c < kClients; ++c) {
    EXPECT_EQ(runs[c].exit_status, 0);
    EXPECT_TRUE(runs[c].out.ends_with(std::to_string(kRecordsPerClient) +
                                      " download(s) successfully downloaded.\n"))
        << runs[c].out;
  }
  for (size_t f = 0; f < kFiles; ++f)
    EXPECT_EQ(origin.hits("/f" + std::to_string(f) + ".bin"), 1) << f;  // one fetch per digest
  EXPECT_EQ(store_entries(dir).size(), 2u * kFiles);
}

TEST(RelayFaultTest, OriginBreakingOffPartWayKeepsNothingAndIsFetchedAgain) {
  TempDir dir;
  TestRelay origin;  // scriptable: it can cut a body short
  const std::string content(300000, 'o');
  const std::string sha1 = sha1_hex(content);
  ScriptedReply cut;
  cut.body = content;
  cut.drop_after = 100000;
  ScriptedReply whole;
  whole.body = content;
  origin.script_path("/o.bin", {cut, whole});
  InProcessRelay relay(test_relay_config(dir.file("store")));
  httplib::Client client("127.0.0.1", relay.port());
  const std::string body =
      download_request_body(sha1, std::to_string(content.size()), origin.base_url() + "/o.bin");

  std::vector<std::string> statuses;
  for (int i = 0; i < 4; ++i) {
    auto reply = client.Post("/DownloadRequest", body, "text/plain");
    ASSERT_TRUE(reply);
    statuses.push_back(reply->body.substr(0, reply->body.find_first_of(",\n", 16)));
    if (statuses.back().ends_with("Failed")) {
      EXPECT_TRUE(store_entries(dir).empty());
      EXPECT_EQ(client.Get("/kxmirror/downloads/sha1/" + sha1)->status, 404);
    }
  }
  EXPECT_EQ(statuses,
            (std::vector<std::string>{"0\naid=0,status=InProcess", "0\naid=0,status=Failed",
                                      "0\naid=0,status=InProcess", "0\naid=0,status=Available"}));
  auto mirror = client.Get("/kxmirror/downloads/sha1/" + sha1);
  ASSERT_TRUE(mirror);
  EXPECT_EQ(mirror->body, content);
  EXPECT_EQ(origin.requests_to("/o.bin").size(), 2u);
}

TEST(RelayFaultTest, KilledMidFetchRestartsCleanAndFetchesAgain) {
  TempDir dir;
  TestOrigin origin;
  const std::string content(200000, 'k');
  const std::string sha1 = sha1_hex(content);
  origin.serve("/k.bin", OriginReply{200, content, OriginReply::Hold::MidBody});
  // The origin listens on 127.0.0.1, which the relay refuses by default.
  const std::vector<std::string> args{"--store", dir.file("store"), "--port",
                                      "0",       "--allow-origin",  "127.0.0.0/8"};
  {
    RelayProcess relay(args);
    ASSERT_GT(relay.port(), 0) << relay.first_line();
    httplib::Client client("127.0.0.1", relay.port());
    ASSERT_TRUE(client.Post(
        "/DownloadRequest",
        download_request_body(sha1, std::to_string(content.size()), origin.url("/k.bin")),
        "text/plain"));
    ASSERT_TRUE(origin.wait_for_partial_body());
    EXPECT_EQ(client.Get("/kxmirror/downloads/sha1/" + sha1)->status, 404);
    EXPECT_EQ(relay.stop(SIGKILL), -1);  // no chance to clean up
  }
  ASSERT_EQ(store_entries(dir).size(), 1u);  // the half-written temporary file

  origin.serve("/k.bin", content);
  RelayProcess relay(args);
  ASSERT_GT(relay.port(), 0) << relay.first_line();
  EXPECT_TRUE(store_entries(dir).empty());  // cleared on start
  httplib::Client client("127.0.0.1", relay.port());
  EXPECT_EQ(client.Get("/kxmirror/downloads/sha1/" + sha1)->status, 404);
  ProgramRun run =
      run_client(relay.port(), sha1, content.size(), origin.url("/k.bin"), dir.file("out"));
  EXPECT_TRUE(run.out.ends_with("1 download(s) successfully downloaded.\n")) << run.out;
  EXPECT_EQ(read_file(dir.file("out/k.bin")), content);
  EXPECT_EQ(origin.hits("/k.bin"), 2);
  EXPECT_EQ(relay.stop(SIGTERM), 0);
}

}  // namespace
