// The whole relay on a disk that refuses, through a FaultEnv: a fetched file reaches the disk
// before its names do, and a fetch the disk refuses is answered Failed, as any failed fetch is,
// leaving nothing in the store; once the disk heals, the next request fetches the file again.
#include <gtest/gtest.h>

#include <functional>

#include "platform/clock.h"
#include "relay/request_body.h"
#include "relay_harness.h"
#include "support/fault_env.h"
#include "support/test_env.h"
#include "support/test_relay.h"
#include "test_origin.h"

namespace {

std::string ask(const std::string& sha1, size_t size, const std::string& url) {
  return "0\naid=0,index=null,sha1=" + sha1 + ",size=" + std::to_string(size) +
         ",url=" + percent_encode(url) + "\n";
}

// The second answer to a download request: the first one queues the fetch, the second is held
// until the fetch ends (or hears of its end).
std::string answer_after_fetch(httplib::Client& client, const std::string& body) {
  auto first = client.Post("/DownloadRequest", body, "text/plain");
  if (!first) return "(no answer)";
  if (first->body != format_status_reply(RelayStatus::InProcess, "")) return first->body;
  auto second = client.Post("/DownloadRequest", body, "text/plain");
  return second ? second->body : "(no answer)";
}

class RelayDiskFaultTest : public ::testing::Test {
 protected:
  RelayDiskFaultTest() : content_(200000, 'd') { origin_.serve("/d.bin", content_); }
  std::string body() const {
    return ask(sha1_hex(content_), content_.size(), origin_.url("/d.bin"));
  }

  TempDir dir_;
  TestOrigin origin_;
  SystemClock clock_;
  FaultEnv env_{clock_};
  const std::string content_;
};

TEST_F(RelayDiskFaultTest, AFetchedFileIsSyncedBeforeItsNamesAndEachFolderAfterThem) {
  InProcessRelay relay(test_relay_config(dir_.file("store")), env_);
  httplib::Client client("127.0.0.1", relay.port());
  ASSERT_EQ(answer_after_fetch(client, body()), format_status_reply(RelayStatus::Available, ""));

  const std::string root = dir_.file("store");
  const std::string sha1_path = root + "/sha1/" + sha1_hex(content_);
  const std::string sha256_path = root + "/sha256/" + sha256_hex(content_);
  const std::vector<std::string> steps = env_.steps();
  ASSERT_FALSE(steps.empty());
  ASSERT_TRUE(steps[0].starts_with("sync " + root + "/sha1/.quonfetch-")) << steps[0];
  const std::string temporary = steps[0].substr(5);
  EXPECT_EQ(steps, (std::vector<std::string>{
                       "sync " + temporary,
                       "rename " + temporary + " " + sha1_path,
                       "sync-directory " + root + "/sha1",
                       "link " + sha1_path + " " + sha256_path + ".link",
                       "rename " + sha256_path + ".link " + sha256_path,
                       "sync-directory " + root + "/sha256",
                   }));
}

TEST_F(RelayDiskFaultTest, AFetchTheDiskRefusesIsFailedAndLeavesNothing) {
  struct Case {
    const char* what;
    std::function<void(FaultEnv&)> fault;
    const char* reason;  // what the client is told
  } cases[] = {
      {"disk full mid-fetch", [](FaultEnv& env) { env.fill_disk_after(50000); },
       "store failed: the relay cannot write the file"},
      {"rename refused", [](FaultEnv& env) { env.fail_renames(); },
       "store failed: the relay cannot store the file"},
      {"file sync refused", [](FaultEnv& env) { env.fail_syncs(); },
       "store failed: the relay cannot store the file"},
      {"folder sync refused", [](FaultEnv& env) { env.fail_directory_syncs(); },
       "store failed: the relay cannot store the file"},
  };
  int hits = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    c.fault(env_);
    InProcessRelay relay(test_relay_config(dir.file("store")), env_);
    httplib::Client client("127.0.0.1", relay.port());

    EXPECT_EQ(answer_after_fetch(client, body()),
              format_status_reply(RelayStatus::Failed, c.reason));
    EXPECT_EQ(store_entries(dir), std::vector<std::string>{});
    EXPECT_EQ(client.Get("/kxmirror/downloads/sha1/" + sha1_hex(content_))->status, 404);
    EXPECT_EQ(client.Get("/kxmirror/downloads/sha256/" + sha256_hex(content_))->status, 404);
    auto metrics = client.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_NE(metrics->body.find("quonfetch_relay_fetches_total{result=\"store_error\"} 1\n"),
              std::string::npos);
    EXPECT_NE(metrics->body.find("quonfetch_relay_store_files 0\n"), std::string::npos);
    EXPECT_EQ(origin_.hits("/d.bin"), ++hits);

    // Reported once: with the disk healed, the next request fetches the file again.
    env_.heal();
    EXPECT_EQ(answer_after_fetch(client, body()), format_status_reply(RelayStatus::Available, ""));
    EXPECT_EQ(origin_.hits("/d.bin"), ++hits);
    EXPECT_EQ(store_entries(dir), (std::vector<std::string>{"sha1/" + sha1_hex(content_),
                                                            "sha256/" + sha256_hex(content_)}));
  }
}

}  // namespace
