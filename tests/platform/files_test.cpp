// Files by path: one file however it is spelled, and addresses as the system reads them.
#include "platform/files.h"

#include <gtest/gtest.h>

#include "platform/addresses.h"
#include "platform/env.h"
#include "support/test_files.h"

namespace {

TEST(FilesTest, SameFileHoweverSpelled) {
  TempDir dir;
  write_file(dir.file("a"), "x");
  write_file(dir.file("b"), "x");
  ASSERT_TRUE(create_directory(dir.file("sub")));
  struct Case {
    std::string first, second;
    bool same;
  } cases[] = {
      {dir.file("a"), dir.file("a"), true},
      {dir.file("a"), dir.file("sub/../a"), true},
      {dir.file("a"), native_path(dir.file("./a")), true},
      {dir.file("a"), dir.file("b"), false},  // equal bytes, another file
      {dir.file("a"), dir.file("missing"), false},
      {dir.file("missing"), dir.file("missing"), false},
  };
  for (const auto& c : cases) EXPECT_EQ(same_file(c.first, c.second), c.same) << c.second;
}

// A file opened to be continued: created when missing, written at its end when there, and
// refused when it is no plain file (a folder; a device, which would never end).
TEST(FilesTest, AnAppendableFileContinuesWhatIsThere) {
  TempDir dir;
  write_file(dir.file("there"), "12345");
  ASSERT_TRUE(create_directory(dir.file("folder")));
  struct Case {
    std::string path;
    bool opened;
    uint64_t size;
    std::string after;  // the file's bytes after "ab" was written
  } cases[] = {
      {dir.file("new"), true, 0, "ab"},
      {dir.file("there"), true, 5, "12345ab"},
      {dir.file("folder"), false, 0, ""},
#ifdef _WIN32
      {"NUL", false, 0, ""},
#else
      {"/dev/null", false, 0, ""},
#endif
  };
  for (const auto& c : cases) {
    std::unique_ptr<WritableFile> file;
    uint64_t size = 99;
    Status opened = system_env().open_appendable_file(c.path, &file, &size);
    EXPECT_EQ(opened.ok(), c.opened) << c.path << ": " << opened.message();
    if (!opened.ok()) continue;
    EXPECT_EQ(size, c.size) << c.path;
    ASSERT_TRUE(file->append("ab").ok());
    ASSERT_TRUE(file->close().ok());
    EXPECT_EQ(read_file(c.path), c.after) << c.path;
  }
}

TEST(AddressesTest, Ipv6LiteralsAsTheSystemReadsThem) {
  const std::pair<std::string, bool> cases[] = {
      {"::1", true},        {"fe80::2", true},  {"::ffff:10.0.0.1", true},
      {"127.0.0.1", false}, {"[::1]", false},   {"relay.example", false},
      {"", false},          {"1::2::3", false},
  };
  for (const auto& [text, literal] : cases) EXPECT_EQ(is_ipv6_literal(text), literal) << text;
}

}  // namespace
