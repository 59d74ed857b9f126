// Directories and paths.
#include "platform/directories.h"

#include <gtest/gtest.h>

#include "support/test_env.h"

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

TEST(DirectoriesTest, JoinPathUsesOneSlash) { EXPECT_EQ(join_path("out", "f.bin"), "out/f.bin"); }

}  // namespace
