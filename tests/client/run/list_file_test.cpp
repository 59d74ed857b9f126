// The list file: line forms, the order rule, and lines of any length or ending.
#include "client/run/list_file.h"

#include <gtest/gtest.h>

#include "client/records/run_state.h"
#include "support/fault_env.h"
#include "support/test_env.h"
#include "support/virtual_clock.h"

namespace {

using Text = std::optional<std::string>;

struct Record {
  Text sha1, size, url, sha256;
  bool operator==(const Record&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Record& r) {
  auto show = [&](const Text& t) { out << (t ? "'" + *t + "'" : std::string("-")) << " "; };
  show(r.sha1);
  show(r.size);
  show(r.url);
  show(r.sha256);
  return out;
}

std::vector<Record> queued(const RunState& state) {
  std::vector<Record> records;
  for (size_t i = 0; i < state.request_queue.count; ++i) {
    const Download& d = *queue_at(state.request_queue, i);
    records.push_back({d.sha1, d.size, d.url, d.sha256});
  }
  return records;
}

std::vector<Record> parse(const std::string& line) {
  VirtualClock clock;
  FaultEnv env{clock};
  RunState state{env};
  parse_list_line(state, line);
  return queued(state);
}

TEST(ParseListLineTest, LineForms) {
  const std::string hex64(64, 'a');
  struct Case {
    std::string line;
    std::vector<Record> records;
  } cases[] = {
      {"", {}},
      {" \t\r\n", {}},
      {"s1", {}},
      {"s1 10", {}},
      {"s1\t10\thttp://h/f", {{"s1", "10", "http://h/f", {}}}},
      {"  s1 \t 10   http://h/f  \r\n", {{"s1", "10", "http://h/f", {}}}},
      {"s1 10 http://h/f " + hex64, {{"s1", "10", "http://h/f", hex64}}},
      {"s1 10 " + hex64 + " http://h/f", {{"s1", "10", "http://h/f", hex64}}},
      {"s1 10 " + hex64 + " https://h/f", {{"s1", "10", "https://h/f", hex64}}},
      {"s1 10 0123 https://h/f", {{"s1", "10", "https://h/f", "0123"}}},  // decimal is hex
      {"s1 10 " + hex64 + " HTTPS://h/f", {{"s1", "10", hex64, "HTTPS://h/f"}}},
      {"s1 10 " + hex64 + " ftp://h/f", {{"s1", "10", hex64, "ftp://h/f"}}},
      {"s1 10 abcg https://h/f", {{"s1", "10", "abcg", "https://h/f"}}},
      {"s1 10 u q f5 f6", {{"s1", "10", "u", "q"}}},
      {"# 10 http://h/f", {{"#", "10", "http://h/f", {}}}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.line), c.records) << "line: " << c.line;
}

class ReadListFileTest : public ::testing::Test {
 protected:
  std::vector<Record> read(const std::string& content) {
    write_file(dir.file("list"), content);
    read_list_file(*state, dir.file("list"));
    return queued(*state);
  }
  VirtualClock clock;
  FaultEnv env{clock};
  /// Replaced by a new one when a test reads several lists.
  std::unique_ptr<RunState> state = std::make_unique<RunState>(env);
  TempDir dir;
};

TEST_F(ReadListFileTest, LineEndsOfEveryKind) {
  std::vector<Record> two{{"a", "1", "http://h/a", {}}, {"b", "2", "http://h/b", {}}};
  for (std::string content :
       {"a 1 http://h/a\nb 2 http://h/b\n", "a 1 http://h/a\r\nb 2 http://h/b",
        "a 1 http://h/a\rb 2 http://h/b\r",
        "\n\na 1 http://h/a\n  \nb 2 "
        "http://h/b"}) {
    state = std::make_unique<RunState>(env);
    EXPECT_EQ(read(content), two) << content;
  }
}

TEST_F(ReadListFileTest, ByteOrderMarkOnlyAtTheStartIsSkipped) {
  EXPECT_EQ(read("\xEF\xBB\xBF"
                 "a 1 http://h/a\nb\xEF\xBB\xBF 2 http://h/b\n"),
            (std::vector<Record>{{"a", "1", "http://h/a", {}},
                                 {"b\xEF\xBB\xBF", "2", "http://h/b", {}}}));
}

// `code_points` as UTF-16 of the given byte order, behind its byte-order mark.
std::string utf16(const std::u32string& code_points, bool big_endian) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  auto unit = [&](char32_t u) {
    char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
    out += big_endian ? std::string{high, low} : std::string{low, high};
  };
  for (char32_t c : code_points) {
    if (c < 0x10000) {
      unit(c);
    } else {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out;
}

TEST_F(ReadListFileTest, Utf16ListsAreReadAsTheirText) {
  // A pair of surrogates that the first read of 64 KiB splits: after the mark (2 bytes), the
  // padding and "a 1 http://h/" (13 units), its first unit ends the block and its second begins
  // the next.
  const std::u32string padding(32766 - 13, U' ');
  struct Case {
    std::string name, content;
    std::vector<Record> records;
  } cases[] = {
      {"little-endian",
       utf16(U"a 1 http://h/J\u00fcrgen.bin\r\nb 2 http://h/\u5217", false),
       {{"a", "1", "http://h/J\xC3\xBCrgen.bin", {}}, {"b", "2", "http://h/\xE5\x88\x97", {}}}},
      {"big-endian",
       utf16(U"a 1 http://h/J\u00fcrgen.bin\n", true),
       {{"a", "1", "http://h/J\xC3\xBCrgen.bin", {}}}},
      {"pair across reads",
       utf16(padding + U"a 1 http://h/\U0001F600.bin\n", false),
       {{"a", "1", "http://h/\xF0\x9F\x98\x80.bin", {}}}},
      {"lone surrogate and odd byte",
       utf16(U"a 1 http://h/x\xD800y", false) + "z",
       {{"a", "1", "http://h/x\xEF\xBF\xBDy\xEF\xBF\xBD", {}}}},
  };
  for (const Case& c : cases) {
    state = std::make_unique<RunState>(env);
    EXPECT_EQ(read(c.content), c.records) << c.name;
  }
  // Only at the very start is it a mark.
  state = std::make_unique<RunState>(env);
  EXPECT_EQ(read("a 1 http://h/\xFF\xFE\n"),
            (std::vector<Record>{{"a", "1", "http://h/\xFF\xFE", {}}}));
}

TEST_F(ReadListFileTest, EmptyFileQueuesNothing) {
  EXPECT_TRUE(read("").empty());
}

TEST_F(ReadListFileTest, LongLinesAreReadWhole) {
  std::string long_url = "http://h/" + std::string(20000, 'x');
  std::string sha256(64, 'b');
  EXPECT_EQ(read("a 1 " + long_url + " " + sha256 + "\nc 3 http://h/c\n"),
            (std::vector<Record>{{"a", "1", long_url, sha256}, {"c", "3", "http://h/c", {}}}));
}

TEST_F(ReadListFileTest, NulEndsTheLinesText) {
  std::string content = std::string("a 1 http://h/a\0 ignored", 23) + "\nb 2 http://h/b\n" +
                        std::string("c 3\0 http://h/c\n", 16);
  EXPECT_EQ(read(content),
            (std::vector<Record>{{"a", "1", "http://h/a", {}}, {"b", "2", "http://h/b", {}}}));
}

TEST_F(ReadListFileTest, ManyLinesKeepFileOrder) {
  std::string content;
  for (int i = 0; i < 1000; ++i) content += std::to_string(i) + " 1 http://h/f\n";
  std::vector<Record> records = read(content + content);
  ASSERT_EQ(records.size(), 2000u);
  for (size_t i = 0; i < 2000; ++i) EXPECT_EQ(records[i].sha1, Text(std::to_string(i % 1000)));
}

}  // namespace
