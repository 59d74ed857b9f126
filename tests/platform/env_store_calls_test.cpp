// The Env's calls that the relay's store makes: listing a folder, what a file is, second names,
// reading with the size, the store's lock, the writable check, the time of day; and UniqueFd.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "platform/env.h"
#include "platform/unique_fd.h"
#include "support/test_files.h"

namespace {

class EnvStoreCallsTest : public ::testing::Test {
 protected:
  Env& env_ = system_env();
  TempDir dir_;
};

TEST_F(EnvStoreCallsTest, ListsEveryEntryButDotAndDotDot) {
  write_file(dir_.file("a"), "a");
  write_file(dir_.file(".hidden"), "h");
  ASSERT_TRUE(create_directory(dir_.file("sub")));
  std::vector<std::string> names{"left over from an earlier call"};
  ASSERT_TRUE(env_.list_directory(dir_.path(), &names).ok());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "a", "sub"}));

  ASSERT_TRUE(env_.list_directory(dir_.file("sub"), &names).ok());
  EXPECT_TRUE(names.empty());
  names = {"left over"};
  Status missing = env_.list_directory(dir_.file("none"), &names);
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.error_number(), ENOENT);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(missing.message(),
            "cannot list " + dir_.file("none") + ": " + system_error_text(ENOENT));
}

TEST_F(EnvStoreCallsTest, TwoNamesOfOneFileShareTheirIdAndNoOtherFileDoes) {
  write_file(dir_.file("one"), "12345");
  write_file(dir_.file("other"), "12345");
  ASSERT_TRUE(env_.link_file(dir_.file("one"), dir_.file("second")).ok());
  FileInfo one, second, other, folder;
  ASSERT_TRUE(env_.file_info(dir_.file("one"), &one).ok());
  ASSERT_TRUE(env_.file_info(dir_.file("second"), &second).ok());
  ASSERT_TRUE(env_.file_info(dir_.file("other"), &other).ok());
  ASSERT_TRUE(env_.file_info(dir_.path(), &folder).ok());
  EXPECT_TRUE(one.regular);
  EXPECT_EQ(one.size, 5u);
  EXPECT_EQ(one.id, second.id);
  EXPECT_NE(one.id, other.id);
  EXPECT_FALSE(folder.regular);

  // A second name never replaces a file; a missing file has no info.
  Status taken = env_.link_file(dir_.file("one"), dir_.file("other"));
  EXPECT_FALSE(taken.ok());
  EXPECT_EQ(taken.error_number(), EEXIST);
  Status missing = env_.file_info(dir_.file("none"), &other);
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.error_number(), ENOENT);
}

TEST_F(EnvStoreCallsTest, OpensOnlyPlainFilesForReadingWithTheirSize) {
  write_file(dir_.file("data"), "the content");
  struct Case {
    std::string path;
    int error_number;  // 0: opened
  } cases[] = {
      {dir_.file("data"), 0},
      {dir_.path(), EISDIR},
      {dir_.file("none"), ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    UniqueFd fd;
    uint64_t size = 99;
    Status opened = env_.open_for_reading(c.path, &fd, &size);
    EXPECT_EQ(opened.error_number(), c.error_number) << opened.message();
    EXPECT_EQ(opened.ok(), c.error_number == 0);
    EXPECT_EQ(fd.valid(), c.error_number == 0);
    if (!opened.ok()) continue;
    EXPECT_EQ(size, 11u);
    char text[16] = {};
    EXPECT_EQ(pread(fd.get(), text, sizeof text, 0), 11);
    EXPECT_STREQ(text, "the content");
  }
}

TEST_F(EnvStoreCallsTest, TheLockIsOneHoldersAtATime) {
  const std::string path = dir_.file(".lock");
  std::unique_ptr<FileLock> first, second;
  bool held_elsewhere = true;
  ASSERT_TRUE(env_.lock_file(path, &first, &held_elsewhere).ok());
  EXPECT_FALSE(held_elsewhere);
  EXPECT_TRUE(file_exists(path));

  Status refused = env_.lock_file(path, &second, &held_elsewhere);
  EXPECT_FALSE(refused.ok());
  EXPECT_TRUE(held_elsewhere);
  EXPECT_FALSE(second);
  EXPECT_TRUE(refused.message().starts_with("cannot lock " + path + ": ")) << refused.message();

  first.reset();  // released with its owner
  EXPECT_TRUE(env_.lock_file(path, &second, &held_elsewhere).ok());
  EXPECT_FALSE(held_elsewhere);

  // A lock file that cannot be made is no other holder's.
  Status unmade = env_.lock_file(dir_.file("none/.lock"), &first, &held_elsewhere);
  EXPECT_FALSE(unmade.ok());
  EXPECT_FALSE(held_elsewhere);
  EXPECT_EQ(unmade.message(),
            "cannot create " + dir_.file("none/.lock") + ": " + system_error_text(ENOENT));
}

TEST_F(EnvStoreCallsTest, AFolderIsWritableOnlyWhenItIsThere) {
  EXPECT_TRUE(env_.check_writable_directory(dir_.path()).ok());
  Status missing = env_.check_writable_directory(dir_.file("none"));
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.error_number(), ENOENT);
}

TEST_F(EnvStoreCallsTest, TheWallClockIsTheTimeOfDayInMilliseconds) {
  const int64_t before = static_cast<int64_t>(time(nullptr)) * 1000;
  const int64_t now = env_.wall_milliseconds();
  const int64_t after = static_cast<int64_t>(time(nullptr)) * 1000 + 1000;
  EXPECT_GE(now, before);
  EXPECT_LT(now, after);
}

TEST(UniqueFdTest, ClosesWhatItOwnsOnceAndNothingItGaveAway) {
  int raw = -1;
  {
    UniqueFd owner(open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(owner.valid());
    raw = owner.get();
    UniqueFd moved(std::move(owner));
    EXPECT_FALSE(owner.valid());  // the moved-from owner is empty
    EXPECT_EQ(moved.get(), raw);
    EXPECT_NE(fcntl(raw, F_GETFD), -1);
  }
  EXPECT_EQ(fcntl(raw, F_GETFD), -1);  // closed with its last owner

  UniqueFd giver(open("/dev/null", O_RDONLY | O_CLOEXEC));
  raw = giver.release();
  EXPECT_FALSE(giver.valid());
  { UniqueFd gone(std::move(giver)); }
  EXPECT_NE(fcntl(raw, F_GETFD), -1);  // released: still open, the caller's to close
  UniqueFd taker;
  taker.reset(raw);
  taker.reset();
  EXPECT_EQ(fcntl(raw, F_GETFD), -1);
}

}  // namespace
