// Directories and paths.
#include "platform/directories.h"

#include <gtest/gtest.h>

#include "platform/env.h"
#include "platform/files.h"
#include "support/test_files.h"

namespace {

TEST(DirectoriesTest, MakeDirectoryAcceptsWhatExists) {
  TempDir dir;
  Env& env = system_env();
  EXPECT_TRUE(env.make_directory(dir.file("out")).ok());
  EXPECT_TRUE(env.make_directory(dir.file("out")).ok());
  write_file(dir.file("plain"), "x");
  Status made = env.make_directory(dir.file("plain"));  // exists, though not a directory
  EXPECT_TRUE(made.ok());
  EXPECT_EQ(made.message(), "");
  made = env.make_directory(dir.file("missing/out"));
  EXPECT_FALSE(made.ok());
  EXPECT_NE(made.message().find("No such file or directory"), std::string::npos) << made.message();
}

TEST(DirectoriesTest, JoinPathUsesThePlatformSeparator) {
  EXPECT_EQ(join_path("out", "f.bin"), native_path("out/f.bin"));
}

TEST(DirectoriesTest, NamesBeyondAscii) {
  TempDir dir;
  const std::string folder = dir.file("Jürgen"), list = join_path(folder, "列表.txt");
  ASSERT_TRUE(system_env().make_directory(folder).ok());
  EXPECT_TRUE(is_directory(folder));
  {
    FilePtr file = open_file(list, "wb");
    ASSERT_TRUE(file);
    fputs("a 1 http://o/a\n", file.get());
  }
  EXPECT_FALSE(is_directory(list));
  EXPECT_EQ(read_file(folder + "/列表.txt"), "a 1 http://o/a\n");
  EXPECT_TRUE(open_file(list, "rb"));
  EXPECT_FALSE(open_file(dir.file("Jürgen/missing"), "rb"));
}

}  // namespace
