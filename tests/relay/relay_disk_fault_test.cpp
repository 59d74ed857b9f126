// The whole relay on a disk that refuses, through a FaultEnv: a fetched file reaches the disk
// before its names do, and a fetch the disk refuses is answered Failed, as any failed fetch is,
// leaving nothing in the store; once the disk heals, the next request fetches the file again.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

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

// Holds the thread that reaches it until released, and tells who reached it.
class Gate {
 public:
  void pass() {
    std::unique_lock lock(mutex_);
    threads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  bool wait_until_reached() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return !threads_.empty(); });
  }
  void release() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  std::vector<std::thread::id> threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  std::vector<std::thread::id> threads_;
};

// A file an earlier run left is read to be verified by the store's verifier alone. Held in that
// read (a file of many GiB), it is answered InProcess to a download request and 503 to a GET at
// once, and no fetch starts; once verified it is Available and served.
TEST_F(RelayDiskFaultTest, AFileOfAnEarlierRunIsNeverReadOnAnHttpThread) {
  const std::string sha1_path = dir_.file("store/sha1/" + sha1_hex(content_));
  std::filesystem::create_directories(dir_.file("store/sha1"));
  write_file(sha1_path, content_);
  Gate gate;
  env_.set_hook([&](const std::string& call, const std::string& path) {
    if (call == "open_file" && path == sha1_path) gate.pass();
  });
  InProcessRelay relay(test_relay_config(dir_.file("store")), env_);
  struct Releaser {
    Gate& gate;
    ~Releaser() { gate.release(); }  // before the relay stops, which waits for its verifier
  } releaser{gate};
  ASSERT_TRUE(gate.wait_until_reached());

  httplib::Client client("127.0.0.1", relay.port());
  const std::string mirror = "/kxmirror/downloads/sha1/" + sha1_hex(content_);
  auto asked = client.Post("/DownloadRequest", body(), "text/plain");
  ASSERT_TRUE(asked);
  EXPECT_EQ(asked->body, format_status_reply(RelayStatus::InProcess, ""));
  auto got = client.Get(mirror);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, 503);
  EXPECT_EQ(got->get_header_value("Retry-After"), "1");

  gate.release();
  relay.server().wait_until_store_verified();
  asked = client.Post("/DownloadRequest", body(), "text/plain");
  ASSERT_TRUE(asked);
  EXPECT_EQ(asked->body, format_status_reply(RelayStatus::Available, ""));
  got = client.Get(mirror);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, 200);
  EXPECT_EQ(got->body, content_);
  EXPECT_EQ(origin_.hits("/d.bin"), 0);
  env_.set_hook(nullptr);
  EXPECT_EQ(gate.threads().size(), 1u);  // the verifier's one read
}

}  // namespace
