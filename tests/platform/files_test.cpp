// Files by path: one file however it is spelled, and addresses as the system reads them.
#include "platform/files.h"

#include <gtest/gtest.h>

#include "platform/addresses.h"
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

TEST(AddressesTest, Ipv6LiteralsAsTheSystemReadsThem) {
  const std::pair<std::string, bool> cases[] = {
      {"::1", true},        {"fe80::2", true},  {"::ffff:10.0.0.1", true},
      {"127.0.0.1", false}, {"[::1]", false},   {"relay.example", false},
      {"", false},          {"1::2::3", false},
  };
  for (const auto& [text, literal] : cases) EXPECT_EQ(is_ipv6_literal(text), literal) << text;
}

}  // namespace
