// The store on a disk that refuses: a file enters the store only synced, with its folder synced
// after its name; when any step fails, neither name nor index entry stays behind.
#include <gtest/gtest.h>

#include <functional>

#include "common/hex.h"
#include "platform/clock.h"
#include "relay/store.h"
#include "relay/store_sample.h"
#include "support/fault_env.h"
#include "support/test_env.h"

namespace {

// A store in a folder of its own, over a FaultEnv.
struct FaultyStore {
  FaultyStore() {
    Status opened = store.open(root());
    if (!opened.ok()) ADD_FAILURE() << opened.message();
  }
  std::string root() const { return dir.file("store"); }
  // Writes `sample` through the store's Env and adds it.
  Status add(const Sample& sample) {
    AtomicFile file(store.path_of(DigestKind::Sha1, sample.sha1), store.env());
    if (!file.write(sample.content.data(), sample.content.size())) {
      return Status::failure(Status::Code::SystemError, "write: " + file.error_text(),
                             file.error_number());
    }
    return store.add(file, sample.sha1, sample.sha256);
  }
  // What the store answers a mirror GET for `hex`.
  Presence opened(DigestKind kind, const std::string& hex) {
    StoredFile file;
    return store.open_file(kind, hex, &file);
  }
  // Every entry of the store's two folders, as "sha1/NAME" and "sha256/NAME".
  std::vector<std::string> on_disk() const {
    std::vector<std::string> names;
    for (const char* sub : {"sha1", "sha256"})
      for (const auto& name : dir.entries(std::string("store/") + sub))
        names.push_back(sub + ("/" + name));
    return names;
  }

  TempDir dir;
  SystemClock clock;
  FaultEnv env{clock};
  Store store{env};
};

TEST(StoreDurabilityTest, AFileIsSyncedBeforeItsNamesAndEachFolderAfterThem) {
  FaultyStore s;
  const Sample sample("a file that must survive a power cut");
  ASSERT_TRUE(s.add(sample).ok());
  const std::vector<std::string> steps = s.env.steps();
  ASSERT_FALSE(steps.empty());
  const std::string prefix = "sync " + s.root() + "/sha1/.quonfetch-";
  ASSERT_TRUE(steps[0].starts_with(prefix)) << steps[0];
  const std::string temporary = steps[0].substr(5);
  const std::string sha1_path = s.root() + "/sha1/" + sample.sha1;
  const std::string sha256_path = s.root() + "/sha256/" + sample.sha256;
  EXPECT_EQ(steps, (std::vector<std::string>{
                       "sync " + temporary,
                       "rename " + temporary + " " + sha1_path,
                       "sync-directory " + s.root() + "/sha1",
                       "link " + sha1_path + " " + sha256_path + ".link",
                       "rename " + sha256_path + ".link " + sha256_path,
                       "sync-directory " + s.root() + "/sha256",
                   }));
}

// Each refusal of the disk, wherever it falls in add(): add() says so, and the store is as if the
// file had never come; healed, the same file goes in.
TEST(StoreDurabilityTest, AFailedStepLeavesNoNameAndNoEntry) {
  using Fault = std::function<void(FaultEnv&, const std::string& root)>;
  struct Case {
    const char* what;
    Fault fault;
    const char* reason;  // the start of the error add() gives
  } cases[] = {
      {"disk full while writing",
       [](FaultEnv& env, const std::string&) { env.fill_disk_after(10); },
       "write: cannot write the file"},
      {"file sync fails", [](FaultEnv& env, const std::string&) { env.fail_syncs(); },
       "cannot move the file into the store: cannot write the file to disk"},
      {"rename fails", [](FaultEnv& env, const std::string&) { env.fail_renames(); },
       "cannot move the file into the store: cannot rename the file"},
      {"sha1 folder sync fails after the rename",
       [](FaultEnv& env, const std::string& root) { env.fail_directory_syncs(root + "/sha1"); },
       "cannot move the file into the store: cannot write the directory to disk"},
      {"sha256 folder sync fails after the link",
       [](FaultEnv& env, const std::string& root) { env.fail_directory_syncs(root + "/sha256"); },
       "cannot link the sha256 name: cannot write the directory to disk"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FaultyStore s;
    const Sample sample(std::string(100, 'f'));
    c.fault(s.env, s.root());
    Status added = s.add(sample);
    EXPECT_FALSE(added.ok());
    EXPECT_TRUE(added.message().starts_with(c.reason)) << added.message();
    EXPECT_EQ(s.on_disk(), std::vector<std::string>{});
    EXPECT_FALSE(s.store.stored_size(sample.sha1));
    EXPECT_EQ(s.opened(DigestKind::Sha1, sample.sha1), Presence::Absent);
    EXPECT_EQ(s.opened(DigestKind::Sha256, sample.sha256), Presence::Absent);
    EXPECT_FALSE(s.store.same_file(sample.sha1, sample.sha256));
    EXPECT_EQ(s.store.counts().files, 0u);
    EXPECT_EQ(s.store.counts().bytes, 0u);

    s.env.heal();
    ASSERT_TRUE(s.add(sample).ok());
    EXPECT_EQ(s.store.stored_size(sample.sha1), sample.content.size());
    EXPECT_TRUE(s.store.same_file(sample.sha1, sample.sha256));
    EXPECT_EQ(s.on_disk(),
              (std::vector<std::string>{"sha1/" + sample.sha1, "sha256/" + sample.sha256}));
  }
}

// A copy stored again (after its name was lost, say) replaces the first one at the rename; when
// the folder then cannot be synced the new name is taken back, and with it the earlier copy:
// neither the index nor the folders may go on holding a name of a file that is gone.
TEST(StoreDurabilityTest, AFailureAfterTheRenameTakesTheEarlierCopyOutOfTheIndex) {
  FaultyStore s;
  const Sample sample("stored twice");
  ASSERT_TRUE(s.add(sample).ok());
  ASSERT_EQ(s.store.stored_size(sample.sha1), sample.content.size());

  s.env.fail_directory_syncs(s.root() + "/sha1");
  EXPECT_FALSE(s.add(sample).ok());
  EXPECT_EQ(s.on_disk(), std::vector<std::string>{});
  EXPECT_FALSE(s.store.stored_size(sample.sha1));
  EXPECT_EQ(s.opened(DigestKind::Sha1, sample.sha1), Presence::Absent);
  EXPECT_EQ(s.opened(DigestKind::Sha256, sample.sha256), Presence::Absent);
  EXPECT_EQ(s.store.counts().files, 0u);
  EXPECT_EQ(s.store.counts().bytes, 0u);
}

}  // namespace
