// Directories and paths.
#include "platform/directories.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "support/test_files.h"

namespace {

TEST(DirectoriesTest, MakeDirectoryAcceptsWhatExists) {
  TempDir dir;
  std::string err;
  EXPECT_TRUE(make_directory(dir.file("out"), &err));
  EXPECT_TRUE(make_directory(dir.file("out"), &err));
  write_file(dir.file("plain"), "x");
  EXPECT_TRUE(make_directory(dir.file("plain"), &err));  // exists, though not a directory
  EXPECT_EQ(err, "");
  EXPECT_FALSE(make_directory(dir.file("missing/out"), &err));
  EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
}

TEST(DirectoriesTest, JoinPathUsesThePlatformSeparator) {
  EXPECT_EQ(join_path("out", "f.bin"), native_path("out/f.bin"));
}

TEST(DirectoriesTest, NamesBeyondAscii) {
  TempDir dir;
  const std::string folder = dir.file("Jürgen"), list = join_path(folder, "列表.txt");
  ASSERT_TRUE(make_directory(folder, nullptr));
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
