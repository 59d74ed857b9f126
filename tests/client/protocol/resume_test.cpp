// A fetch cut short: asked again for the rest within the run, and with -c kept in a part file
// that the next run continues. Whatever the server answers, only a whole body with its digest
// takes the file's name.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "client/protocol/fetch_file.h"
#include "platform/directories.h"
#include "support/download_file_fixture.h"

namespace {

constexpr long kCut = 30000;

// 100000 bytes in which every offset shows: a body continued at the wrong byte has another
// digest.
const std::string& content() {
  static const std::string text = [] {
    std::string bytes(100000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + (i * 7) % 26);
    return bytes;
  }();
  return text;
}

ScriptedReply whole() {
  ScriptedReply reply;
  reply.body = content();
  return reply;
}
// The whole file from a server that serves ranges, cut after `cut` bytes of each reply.
ScriptedReply served(long cut = -1) {
  ScriptedReply reply = whole();
  reply.serve_ranges = true;
  reply.drop_after = cut;
  return reply;
}
ScriptedReply partial(const std::string& range, size_t from) {
  ScriptedReply reply;
  reply.code = 206;
  reply.content_range = range;
  reply.body = content().substr(from);
  return reply;
}
ScriptedReply refusal(int code) {
  ScriptedReply reply;
  reply.code = code;
  reply.body = "no";
  return reply;
}

class ResumeTest : public DownloadFileTest {
 protected:
  void SetUp() override {
    DownloadFileTest::SetUp();
    ASSERT_TRUE(system_env().make_directory(*state.settings.output_dir).ok());
  }
  // The Range header of every GET from the `from`-th on ("" for none).
  std::vector<std::string> ranges_asked(size_t from = 0) const {
    std::vector<std::string> ranges;
    const std::vector<RecordedRequest> gets = relay.requests_to("/f");
    for (size_t i = from; i < gets.size(); ++i) {
      const RecordedRequest& get = gets[i];
      auto range = get.headers.find("Range");
      ranges.push_back(range == get.headers.end() ? "" : range->second);
    }
    return ranges;
  }
  FetchOutcome fetch_file(std::optional<std::string> part = std::nullopt) {
    return fetch("/f", "f.bin", DigestCheck{DigestKind::Sha1, sha1_hex(content())}, "100000", part);
  }
  std::string part_path() const { return dir.file("out/.quonfetch-part"); }
};

// Within the run, after a cut at byte 30000: what the server answers to the request for the
// rest decides. The waits double while no byte comes of a resume.
TEST_F(ResumeTest, WhatTheServerAnswersToTheRest) {
  const std::string resumed = "bytes=" + std::to_string(kCut) + "-";
  struct Case {
    const char* what;
    std::vector<ScriptedReply> replies;  // after the first one, cut at kCut
    FetchEnd end;
    long status;
    std::vector<std::string> ranges;  // of the requests after the first
    int64_t waited;                   // seconds, in all
  } cases[] = {
      {"the rest, with 206", {served()}, FetchEnd::Stored, 206, {resumed}, 1},
      {"ranges ignored: 200 again", {whole()}, FetchEnd::Stored, 200, {resumed}, 1},
      {"206 at another offset",
       {partial("bytes 20000-99999/100000", 20000)},
       FetchEnd::HttpError,
       206,
       {resumed},
       1},
      {"206 of another total",
       {partial("bytes 30000-99999/100001", 30000)},
       FetchEnd::HttpError,
       206,
       {resumed},
       1},
      {"416", {refusal(416)}, FetchEnd::HttpError, 416, {resumed}, 1},
      {"503", {refusal(503)}, FetchEnd::HttpError, 503, {resumed}, 1},
      {"cut again, each time 20000 bytes further",
       {served(20000)},
       FetchEnd::Stored,
       206,
       {resumed, "bytes=50000-", "bytes=70000-", "bytes=90000-"},
       4},
      {"five cuts in a row with nothing",
       {served(0)},
       FetchEnd::TransferError,
       0,
       std::vector<std::string>(5, resumed),
       1 + 2 + 4 + 8 + 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t gets_before = relay.requests_to("/f").size();
    std::vector<ScriptedReply> replies{served(kCut)};
    replies.insert(replies.end(), c.replies.begin(), c.replies.end());
    relay.script_path("/f", replies);
    const int64_t waits_before = clock.waits();
    FetchOutcome outcome = fetch_file();
    EXPECT_EQ(outcome.end, c.end);
    EXPECT_EQ(outcome.status, c.status);
    std::vector<std::string> ranges = ranges_asked(gets_before);
    ASSERT_FALSE(ranges.empty());
    EXPECT_EQ(ranges.front(), "");
    EXPECT_EQ(std::vector<std::string>(ranges.begin() + 1, ranges.end()), c.ranges);
    EXPECT_EQ(count_of(out, "Resuming " + relay.base_url() + "/f at byte "), c.ranges.size());
    EXPECT_EQ(clock.waits() - waits_before, c.waited);
    const bool stored = c.end == FetchEnd::Stored;
    EXPECT_EQ(dir.entries("out"),
              stored ? std::vector<std::string>{"f.bin"} : std::vector<std::string>{});
    if (stored) {
      EXPECT_TRUE(read_file(out_file("f.bin")) == content());
    }
    std::filesystem::remove(out_file("f.bin"));
  }
}

// With a part file, a fetch cut for good keeps its bytes there, and never under the file's
// name; the next fetch hashes them and asks only for the rest.
TEST_F(ResumeTest, APartFileCarriesACutFetchToTheNext) {
  relay.script_path("/f", {served(kCut), served(0)});
  FetchOutcome cut = fetch_file(part_path());
  EXPECT_EQ(cut.end, FetchEnd::TransferError);
  EXPECT_NE(cut.reason.message().find("its 30000 bytes are kept in " + part_path()),
            std::string::npos)
      << cut.reason.message();
  EXPECT_EQ(dir.entries("out"), std::vector<std::string>{".quonfetch-part"});
  EXPECT_TRUE(read_file(part_path()) == content().substr(0, kCut));

  const size_t gets_before = relay.requests_to("/f").size();
  relay.script_path("/f", {served()});
  FetchOutcome next = fetch_file(part_path());
  EXPECT_EQ(next.end, FetchEnd::Stored);
  // One request, for the rest: the part's bytes were hashed from the file.
  EXPECT_EQ(ranges_asked(gets_before), std::vector<std::string>{"bytes=30000-"});
  EXPECT_EQ(dir.entries("out"), std::vector<std::string>{"f.bin"});
  EXPECT_TRUE(read_file(out_file("f.bin")) == content());
}

// A part file that cannot be continued: dropped, and the file fetched from its first byte, or,
// when its bytes are wrong, the fetch fails with nothing named and nothing kept.
TEST_F(ResumeTest, APartFileThatCannotBeContinued) {
  const std::string head = content().substr(0, kCut);
  struct Case {
    const char* what;
    std::string part;
    std::vector<ScriptedReply> replies;
    std::vector<std::string> ranges;
    FetchEnd end;
  } cases[] = {
      {"longer than the record's size", content() + "more", {served()}, {""}, FetchEnd::Stored},
      {"the rest refused: 416",
       head,
       {refusal(416), whole()},
       {"bytes=30000-", ""},
       FetchEnd::Stored},
      {"the rest at another offset",
       head,
       {partial("bytes 0-99999/100000", 0), whole()},
       {"bytes=30000-", ""},
       FetchEnd::Stored},
      {"bytes that are not the file's",
       std::string(kCut, '?'),
       {served()},
       {"bytes=30000-"},
       FetchEnd::DigestMismatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(part_path(), c.part);
    const size_t gets_before = relay.requests_to("/f").size();
    relay.script_path("/f", c.replies);
    FetchOutcome outcome = fetch_file(part_path());
    EXPECT_EQ(outcome.end, c.end);
    EXPECT_EQ(ranges_asked(gets_before), c.ranges);
    const bool stored = c.end == FetchEnd::Stored;
    EXPECT_EQ(dir.entries("out"),
              stored ? std::vector<std::string>{"f.bin"} : std::vector<std::string>{});
    if (stored) {
      EXPECT_TRUE(read_file(out_file("f.bin")) == content());
    }
    std::filesystem::remove(out_file("f.bin"));
  }
}

// A part file the system will not open (a folder of its name) leaves the fetch to a temporary
// file, as without one; the folder stays.
TEST_F(ResumeTest, APartFileThatCannotBeOpened) {
  ASSERT_TRUE(create_directory(part_path()));
  relay.script_path("/f", {served()});
  EXPECT_EQ(fetch_file(part_path()).end, FetchEnd::Stored);
  EXPECT_EQ(dir.entries("out"), (std::vector<std::string>{".quonfetch-part", "f.bin"}));
}

TEST(PartFilePathTest, OnlyForAFortyDigitSha1InLowerCase) {
  const std::string upper = "ABCDEF" + std::string(34, '0');
  EXPECT_EQ(part_file_path(join_path("out", "f.bin"), upper),
            join_path("out", ".quonfetch-abcdef" + std::string(34, '0') + ".part"));
  for (const std::optional<std::string>& sha1 :
       {std::optional<std::string>(std::string(39, 'a')), std::optional<std::string>("../x"),
        std::optional<std::string>(std::string(64, 'a')), std::optional<std::string>()})
    EXPECT_FALSE(part_file_path("f.bin", sha1).has_value()) << sha1.value_or("(absent)");
}

TEST(ReplyContinuesTest, ContentRanges) {
  struct Case {
    const char* range;
    uint64_t offset;
    std::optional<uint64_t> total;
    bool continues;
  } cases[] = {
      {"bytes 30-99/100", 30, 100, true},        {"bytes 30-99/100", 30, std::nullopt, true},
      {"bytes 30-99/*", 30, std::nullopt, true}, {"bytes 30-99/*", 30, 100, false},
      {"bytes 31-99/100", 30, 100, false},       {"bytes 30-99/101", 30, 100, false},
      {"bytes 30-100/100", 30, 100, false},      {"bytes 30-29/100", 30, 100, false},
      {"bytes */100", 30, 100, false},           {"items 30-99/100", 30, 100, false},
      {"bytes 30-99/100x", 30, 100, false},      {"", 30, 100, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(reply_continues(c.range, c.offset, c.total), c.continues) << c.range;
}

}  // namespace
