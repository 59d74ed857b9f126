// Files that appear under their name only once written whole.
#include "platform/atomic_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace {

TEST(AtomicFileTest, CommitMovesTheWholeFileIntoPlace) {
  TempDir dir;
  write_file(dir.file("f"), "old");
  {
    AtomicFile file(dir.file("f"));
    ASSERT_TRUE(file.is_open());
    ASSERT_TRUE(file.write("new content", 11));
    EXPECT_EQ(read_file(dir.file("f")), "old");  // untouched until the commit
    EXPECT_TRUE(file.commit(nullptr));
  }
  EXPECT_EQ(read_file(dir.file("f")), "new content");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"f"});
  struct stat info {};
  ASSERT_EQ(stat(dir.file("f").c_str(), &info), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST(AtomicFileTest, WithoutCommitNothingIsLeftAndTheTargetStays) {
  TempDir dir;
  write_file(dir.file("f"), "old");
  {
    AtomicFile file(dir.file("f"));
    ASSERT_TRUE(file.is_open());
    ASSERT_TRUE(file.write("partial", 7));
  }
  EXPECT_EQ(read_file(dir.file("f")), "old");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"f"});
}

TEST(AtomicFileTest, MissingDirectoryGivesNoFile) {
  TempDir dir;
  AtomicFile file(dir.file("missing/f"));
  EXPECT_FALSE(file.is_open());
  EXPECT_FALSE(file.commit(nullptr));
}

TEST(AtomicFileTest, CommitOntoADirectoryFailsAndCleansUp) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("d").c_str(), 0755), 0);
  write_file(dir.file("d/inside"), "x");
  {
    AtomicFile file(dir.file("d"));
    ASSERT_TRUE(file.is_open());
    EXPECT_FALSE(file.commit(nullptr));
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"d"});
}

}  // namespace
