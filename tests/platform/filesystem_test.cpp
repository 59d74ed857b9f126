// Directories and paths.
#include "platform/filesystem.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace {

TEST(FilesystemTest, MakeDirectoryAcceptsWhatExists) {
  TempDir dir;
  EXPECT_EQ(make_directory(dir.file("out")), 0);
  EXPECT_EQ(make_directory(dir.file("out")), 0);
  write_file(dir.file("plain"), "x");
  EXPECT_EQ(make_directory(dir.file("plain")), 0);  // exists, though not a directory
  EXPECT_EQ(make_directory(dir.file("missing/out")), ENOENT);
}

TEST(FilesystemTest, JoinPathUsesOneSlash) { EXPECT_EQ(join_path("out", "f.bin"), "out/f.bin"); }

}  // namespace
