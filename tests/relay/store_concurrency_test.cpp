// The store while requests, fetches, eviction and the verifier meet: a file answered Available
// stays for its client, a GET pins its file where it finds it, an eviction victim is hidden while
// it goes, and no request thread ever reads a file to verify it. Each race is made to happen at
// one step through the FaultEnv's hook, so every run takes the same path.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <set>
#include <thread>

#include "common/hex.h"
#include "platform/clock.h"
#include "platform/mutex.h"
#include "relay/store.h"
#include "relay/store_sample.h"
#include "support/fault_env.h"
#include "support/test_env.h"

namespace {

class StoreConcurrencyTest : public ::testing::Test {
 protected:
  void open(Store& store) { ASSERT_TRUE(store.open(dir_.file("store")).ok()); }
  bool add(Store& store, const Sample& sample) {
    AtomicFile file(store.path_of(DigestKind::Sha1, sample.sha1), store.env());
    file.write(sample.content.data(), sample.content.size());
    return store.add(file, sample.sha1, sample.sha256).ok();
  }
  // What a mirror GET for `sample` gets: its content, "(unverified)" or "(none)".
  static std::string get(Store& store, const Sample& sample) {
    StoredFile file;
    const Presence found = store.open_file(DigestKind::Sha1, sample.sha1, &file);
    if (found != Presence::Verified) return found == Presence::Absent ? "(none)" : "(unverified)";
    std::string content(file.size, '\0');
    const ssize_t got = pread(file.fd.get(), content.data(), content.size(), 0);
    store.finished_serving(file.sha1);
    return got == static_cast<ssize_t>(content.size()) ? content : "(short read)";
  }
  static Presence look_up(Store& store, const Sample& sample) {
    uint64_t size = 0;
    return store.look_up(sample.sha1, &size);
  }
  // Files of 100 bytes, distinct.
  static std::vector<Sample> samples(char first, int count) {
    std::vector<Sample> made;
    for (int i = 0; i < count; ++i)
      made.emplace_back(std::string(100, static_cast<char>(first + i)));
    return made;
  }

  TempDir dir_;
  SystemClock clock_;
  FaultEnv env_{clock_};
};

// A store at its cap of three files; the oldest is answered Available; a burst of two new files
// forces two evictions, which take the others: the client's GET still gets it.
TEST_F(StoreConcurrencyTest, AFileAnsweredAvailableOutlivesTheEvictionsOfABurst) {
  Store store(env_);
  open(store);
  store.set_max_size(300);
  const std::vector<Sample> held = samples('a', 3), burst = samples('x', 2);
  for (const Sample& sample : held) ASSERT_TRUE(add(store, sample));
  ASSERT_EQ(look_up(store, held[0]), Presence::Verified);  // the answer Available
  for (const Sample& sample : burst) ASSERT_TRUE(add(store, sample));
  EXPECT_EQ(store.counts().evicted, 2u);
  EXPECT_EQ(get(store, held[0]), held[0].content);
  EXPECT_EQ(get(store, held[1]), "(none)");
  EXPECT_EQ(get(store, held[2]), "(none)");
}

// The GET finds its file, and at that moment (the hook runs as the store opens the file) fetches
// store a burst that evicts three files: the file found is already pinned, so three others go
// (the newest of the burst among them) and the GET gets it.
TEST_F(StoreConcurrencyTest, AGetPinsItsFileWhereItFindsIt) {
  Store store(env_);
  open(store);
  store.set_max_size(300);
  const std::vector<Sample> held = samples('a', 3), burst = samples('x', 3);
  for (const Sample& sample : held) ASSERT_TRUE(add(store, sample));
  bool burst_added = false;
  env_.set_hook([&](const std::string& call, const std::string& path) {
    if (call != "open_for_reading" || !path.ends_with(held[0].sha1) || burst_added) return;
    burst_added = true;
    for (const Sample& sample : burst) EXPECT_TRUE(add(store, sample));
  });
  EXPECT_EQ(get(store, held[0]), held[0].content);
  env_.set_hook(nullptr);
  EXPECT_TRUE(burst_added);
  EXPECT_EQ(store.counts().evicted, 3u);
}

// While an eviction removes its victim's names (the hook runs at each removal), the victim is
// neither said to be stored nor opened: a client told Available would find it gone.
TEST_F(StoreConcurrencyTest, AnEvictionVictimIsHiddenWhileItsNamesGo) {
  Store store(env_);
  open(store);
  store.set_max_size(200);
  const std::vector<Sample> files = samples('a', 3);
  ASSERT_TRUE(add(store, files[0]));
  ASSERT_TRUE(add(store, files[1]));
  std::vector<std::pair<Presence, std::string>> seen;
  env_.set_hook([&](const std::string& call, const std::string& path) {
    if (call != "remove_file" || path.find(files[0].sha1) == std::string::npos) return;
    seen.emplace_back(look_up(store, files[0]), get(store, files[0]));
  });
  ASSERT_TRUE(add(store, files[2]));  // evicts files[0]
  env_.set_hook(nullptr);
  ASSERT_FALSE(seen.empty());
  for (const auto& [presence, got] : seen) {
    EXPECT_NE(presence, Presence::Verified);
    EXPECT_NE(got, files[0].content);
  }
  EXPECT_EQ(look_up(store, files[0]), Presence::Absent);
  EXPECT_EQ(store.counts().files, 2u);
  EXPECT_EQ(store.counts().bytes, 200u);
}

// Files of an earlier run: a request (a POST's look-up, a GET) for one not yet verified is told
// so at once and never reads it; the verifier, once started, checks the requested one first.
TEST_F(StoreConcurrencyTest, NoRequestReadsAFileToVerifyItTheVerifierDoesRequestedFirst) {
  std::vector<Sample> files = samples('a', 3);
  {
    Store earlier(env_);
    open(earlier);
    for (const Sample& sample : files) ASSERT_TRUE(add(earlier, sample));
  }
  std::sort(files.begin(), files.end(),
            [](const Sample& a, const Sample& b) { return a.sha1 < b.sha1; });
  const Sample& wanted = files.back();  // the verifier's last in the listing's order
  Mutex mutex;
  std::vector<std::string> read_for_check;  // the sha1 names, in order
  std::set<std::thread::id> readers;
  env_.set_hook([&](const std::string& call, const std::string& path) {
    if (call != "open_file") return;
    MutexLock lock(mutex);
    read_for_check.push_back(path.substr(path.size() - 40));
    readers.insert(std::this_thread::get_id());
  });
  Store store(env_);
  open(store);
  EXPECT_EQ(look_up(store, wanted), Presence::Unverified);
  EXPECT_EQ(get(store, wanted), "(unverified)");
  {
    MutexLock lock(mutex);
    EXPECT_TRUE(read_for_check.empty());  // nothing was read on the request's thread
  }
  store.verify_in_background();
  store.wait_until_verified();
  env_.set_hook(nullptr);
  MutexLock lock(mutex);
  ASSERT_EQ(read_for_check.size(), files.size());
  EXPECT_EQ(read_for_check.front(), wanted.sha1);
  EXPECT_EQ(readers.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(look_up(store, wanted), Presence::Verified);
  EXPECT_EQ(get(store, wanted), wanted.content);
}

}  // namespace
