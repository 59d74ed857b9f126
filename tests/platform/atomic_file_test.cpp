// Files that appear under their name only once written whole.
#include "platform/atomic_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/directories.h"
#include "support/fault_env.h"
#include "support/test_files.h"
#include "support/virtual_clock.h"

namespace {

TEST(AtomicFileTest, CommitMovesTheWholeFileIntoPlace) {
  TempDir dir;
  write_file(dir.file("f"), "old");
  {
    AtomicFile file(dir.file("f"));
    ASSERT_TRUE(file.is_open());
    ASSERT_TRUE(file.write("new content", 11));
    EXPECT_EQ(read_file(dir.file("f")), "old");  // untouched until the commit
    EXPECT_TRUE(file.commit().ok());
  }
  EXPECT_EQ(read_file(dir.file("f")), "new content");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"f"});
}

TEST(AtomicFileTest, CommittedFileHasTheUsualPermissions) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows files have no mode bits: a new file takes the folder's access rules";
#else
  TempDir dir;
  {
    AtomicFile file(dir.file("f"));
    ASSERT_TRUE(file.commit().ok());
  }
  struct stat info {};
  ASSERT_EQ(stat(dir.file("f").c_str(), &info), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
#endif
}

TEST(AtomicFileTest, NamesBeyondAscii) {
  TempDir dir;
  const std::string folder = dir.file("Jürgen"), name = "列表.txt";
  ASSERT_TRUE(system_env().make_directory(folder).ok());
  {
    AtomicFile file(join_path(folder, name));
    ASSERT_TRUE(file.is_open());
    ASSERT_TRUE(file.write("bytes\n", 6));
    Status committed = file.commit(true);
    EXPECT_TRUE(committed.ok()) << committed.message();
  }
  EXPECT_EQ(read_file(folder + "/" + name), "bytes\n");
  EXPECT_EQ(dir.entries("Jürgen"), std::vector<std::string>{name});
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
  Status committed = file.commit();
  EXPECT_FALSE(committed.ok());
  EXPECT_EQ(committed.message(), file.error_text());
}

TEST(AtomicFileTest, CommitOntoADirectoryFailsAndCleansUp) {
  TempDir dir;
  ASSERT_TRUE(create_directory(dir.file("d")));
  write_file(dir.file("d/inside"), "x");
  {
    AtomicFile file(dir.file("d"));
    ASSERT_TRUE(file.is_open());
    Status committed = file.commit();
    EXPECT_FALSE(committed.ok());
    EXPECT_EQ(committed.code(), Status::Code::SystemError);
    EXPECT_NE(committed.error_number(), 0);
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"d"});
}

// A durable commit makes the bytes reach the disk before the name, and the name before it
// returns; a plain one asks for neither. A directory that cannot be made durable leaves no name.
TEST(AtomicFileTest, DurableCommitsSyncTheFileThenTheName) {
  TempDir dir;
  const std::string target = join_path(dir.path(), "f");
  for (bool durable : {true, false}) {
    VirtualClock clock;
    FaultEnv env(clock);
    std::string temporary;
    {
      AtomicFile file(target, env);
      ASSERT_TRUE(file.write("data", 4));
      temporary = file.temporary_path();
      EXPECT_TRUE(file.commit(durable).ok());
    }
    std::vector<std::string> expected{"rename " + temporary + " " + target};
    if (durable) {
      expected.insert(expected.begin(), "sync " + temporary);
      expected.push_back("sync-directory " + dir.path());
    }
    EXPECT_EQ(env.steps(), expected);
  }

  VirtualClock clock;
  FaultEnv env(clock);
  env.fail_directory_syncs();
  Status committed;
  {
    AtomicFile file(join_path(dir.path(), "g"), env);
    committed = file.commit(true);
  }
  EXPECT_FALSE(committed.ok());
  const std::string& err = committed.message();
  EXPECT_EQ(err.rfind("cannot write the directory to disk: ", 0), 0u) << err;
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"f"});
}

}  // namespace
