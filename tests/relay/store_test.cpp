// The store's rules: a file appears under its digests only whole, one relay per store, files of
// an earlier run are served only once verified, and the least recently served go first.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/hex.h"
#include "relay/store.h"
#include "relay/store_sample.h"
#include "support/test_env.h"

namespace {

bool add(Store& store, const Sample& sample) {
  AtomicFile file(store.path_of(DigestKind::Sha1, sample.sha1));
  file.write(sample.content.data(), sample.content.size());
  return store.add(file, sample.sha1, sample.sha256).ok();
}

std::string read_stored(Store& store, DigestKind kind, const std::string& hex) {
  StoredFile stored;
  const Presence found = store.open_file(kind, hex, &stored);
  if (found == Presence::Unverified) return "(unverified)";
  if (found == Presence::Absent) return "(none)";
  std::string content(stored.size, '\0');
  EXPECT_EQ(pread(stored.fd.get(), content.data(), content.size(), 0),
            static_cast<ssize_t>(content.size()));
  store.finished_serving(stored.sha1);
  return content;
}

class StoreTest : public ::testing::Test {
 protected:
  std::string root() const { return dir_.file("store"); }
  TempDir dir_;
};

TEST_F(StoreTest, APartialFileIsNeverVisibleUnderItsDigest) {
  Store store(system_env());
  ASSERT_TRUE(store.open(root()).ok());
  const Sample sample("the whole file");
  {
    AtomicFile file(store.path_of(DigestKind::Sha1, sample.sha1));
    file.write(sample.content.data(), 5);
    // Written in part: nothing under either name, to the store or to a reader of the folder.
    EXPECT_EQ(read_stored(store, DigestKind::Sha1, sample.sha1), "(none)");
    EXPECT_FALSE(store.stored_size(sample.sha1));
    EXPECT_FALSE(file_exists(root() + "/sha1/" + sample.sha1));
    EXPECT_EQ(dir_.entries("store/sha1").size(), 1u);  // the temporary file
  }                                                    // dropped without a commit
  EXPECT_TRUE(dir_.entries("store/sha1").empty());
  ASSERT_TRUE(add(store, sample));
  EXPECT_EQ(read_stored(store, DigestKind::Sha1, sample.sha1), sample.content);
  EXPECT_EQ(read_stored(store, DigestKind::Sha256, sample.sha256), sample.content);
  EXPECT_EQ(store.stored_size(sample.sha1), sample.content.size());
  EXPECT_TRUE(store.same_file(sample.sha1, sample.sha256));
  EXPECT_FALSE(store.same_file(sample.sha1, std::string(64, '0')));
}

TEST_F(StoreTest, ASecondStoreOnTheSameFolderIsRefusedAndTouchesNothing) {
  Store first(system_env());
  ASSERT_TRUE(first.open(root()).ok());
  AtomicFile in_flight(first.path_of(DigestKind::Sha1, std::string(40, 'a')));
  ASSERT_TRUE(in_flight.is_open());
  const std::vector<std::string> before = dir_.entries("store/sha1");

  Store second(system_env());
  Status opened = second.open(root());
  EXPECT_FALSE(opened.ok());
  EXPECT_EQ(opened.message(), "the store " + root() + " is in use by another quonfetch-relay");
  EXPECT_EQ(dir_.entries("store/sha1"), before);  // the first one's temporary file stays
}

TEST_F(StoreTest, FilesOfAnEarlierRunAreServedOnlyOnceVerified) {
  const Sample good("kept from the last run"), bad("this one was damaged on disk");
  {
    Store earlier(system_env());
    ASSERT_TRUE(earlier.open(root()).ok());
    ASSERT_TRUE(add(earlier, good));
    ASSERT_TRUE(add(earlier, bad));
  }
  write_file(root() + "/sha1/" + bad.sha1, "garbage of another digest");
  std::filesystem::remove(root() + "/sha256/" + good.sha256);  // stopped between the two names

  Store store(system_env());
  ASSERT_TRUE(store.open(root()).ok());
  EXPECT_EQ(store.counts().files, 2u);  // listed, not yet checked
  // Before the verifier: neither is served nor said to be stored, and neither is removed.
  for (const Sample* sample : {&good, &bad}) {
    EXPECT_EQ(read_stored(store, DigestKind::Sha1, sample->sha1), "(unverified)");
    uint64_t size = 0;
    EXPECT_EQ(store.look_up(sample->sha1, &size), Presence::Unverified);
  }
  EXPECT_EQ(store.counts().corrupt, 0u);
  store.verify_in_background();
  store.wait_until_verified();
  EXPECT_EQ(read_stored(store, DigestKind::Sha1, good.sha1), good.content);
  EXPECT_EQ(read_stored(store, DigestKind::Sha1, bad.sha1), "(none)");
  EXPECT_FALSE(store.stored_size(bad.sha1));
  EXPECT_EQ(read_stored(store, DigestKind::Sha256, good.sha256), good.content);  // repaired
  EXPECT_EQ(store.counts().files, 1u);
  EXPECT_EQ(store.counts().corrupt, 1u);
  EXPECT_FALSE(file_exists(root() + "/sha1/" + bad.sha1));
  EXPECT_FALSE(file_exists(root() + "/sha256/" + bad.sha256));
}

TEST_F(StoreTest, AboveTheCapTheLeastRecentlyServedFilesGo) {
  Store store(system_env());
  ASSERT_TRUE(store.open(root()).ok());
  const Sample a(std::string(100, 'a')), b(std::string(100, 'b')), c(std::string(100, 'c'));
  store.set_max_size(250);
  ASSERT_TRUE(add(store, a));
  ASSERT_TRUE(add(store, b));
  EXPECT_EQ(read_stored(store, DigestKind::Sha1, a.sha1), a.content);  // a is now the newer
  ASSERT_TRUE(add(store, c));

  EXPECT_EQ(read_stored(store, DigestKind::Sha1, b.sha1), "(none)");
  EXPECT_FALSE(file_exists(root() + "/sha256/" + b.sha256));
  EXPECT_EQ(read_stored(store, DigestKind::Sha1, a.sha1), a.content);
  EXPECT_EQ(read_stored(store, DigestKind::Sha1, c.sha1), c.content);
  EXPECT_EQ(store.counts().bytes, 200u);
  EXPECT_EQ(store.counts().evicted, 1u);
}

TEST_F(StoreTest, AFileBeingServedIsNotEvicted) {
  Store store(system_env());
  ASSERT_TRUE(store.open(root()).ok());
  const Sample a(std::string(100, 'a')), b(std::string(100, 'b')), c(std::string(100, 'c'));
  store.set_max_size(250);
  ASSERT_TRUE(add(store, a));
  StoredFile serving;  // not finished
  ASSERT_EQ(store.open_file(DigestKind::Sha1, a.sha1, &serving), Presence::Verified);
  ASSERT_TRUE(add(store, b));
  ASSERT_TRUE(add(store, c));
  // a is the least recently served, but still being sent: b goes instead.
  EXPECT_TRUE(file_exists(root() + "/sha1/" + a.sha1));
  EXPECT_FALSE(file_exists(root() + "/sha1/" + b.sha1));
  store.finished_serving(serving.sha1);
  const Sample d(std::string(100, 'd'));
  ASSERT_TRUE(add(store, d));
  EXPECT_FALSE(file_exists(root() + "/sha1/" + a.sha1));  // once sent, it may go
}

TEST_F(StoreTest, NamesThatAreNotDigestsReachNothing) {
  Store store(system_env());
  ASSERT_TRUE(store.open(root()).ok());
  const Sample sample("x");
  ASSERT_TRUE(add(store, sample));
  write_file(root() + "/secret", "secret");
  for (std::string name : {std::string("../secret"), sample.sha1 + "/", sample.sha1.substr(1),
                           std::string(".lock"), sample.sha256}) {
    EXPECT_EQ(read_stored(store, DigestKind::Sha1, name), "(none)") << name;
  }
  std::string upper = sample.sha1;
  for (char& ch : upper) ch = static_cast<char>(toupper(ch));
  EXPECT_EQ(read_stored(store, DigestKind::Sha1, upper), sample.content);
}

}  // namespace
