// Fetching from the mirror: safe writes, digest checks, file names and the output directory.
#include "client/protocol/file_retrieval.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/directories.h"
#include "support/download_file_fixture.h"

namespace {

using Text = std::optional<std::string>;

TEST(MirrorUrlTest, DigestIsInsertedAsHeld) {
  EXPECT_EQ(mirror_url("http://r:1", DigestKind::Sha1, "AbC"),
            "http://r:1/kxmirror/downloads/sha1/AbC");
  EXPECT_EQ(mirror_url("https://r:1", DigestKind::Sha256, "x/../y"),
            "https://r:1/kxmirror/downloads/sha256/x/../y");
  // Formed whole, however long the digest text.
  EXPECT_EQ(mirror_url("http://r", DigestKind::Sha1, std::string(5000, 'a')),
            "http://r/kxmirror/downloads/sha1/" + std::string(5000, 'a'));
}

TEST(DigestCheckForTest, OnlyDigestsOfTheRightForm) {
  struct Case {
    DigestKind kind;
    Text digest;
    bool checked;
  } cases[] = {
      {DigestKind::Sha1, std::string(40, 'a'), true},
      {DigestKind::Sha1, std::string(40, 'F'), true},
      {DigestKind::Sha1, std::string(39, 'a'), false},
      {DigestKind::Sha1, std::string(41, 'a'), false},
      {DigestKind::Sha1, std::string(39, 'a') + "g", false},
      {DigestKind::Sha1, std::string(64, 'a'), false},
      {DigestKind::Sha256, std::string(64, '0'), true},
      {DigestKind::Sha256, std::string(40, '0'), false},
      {DigestKind::Sha1, std::nullopt, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(digest_check_for(c.kind, c.digest).has_value(), c.checked)
        << c.digest.value_or("(absent)");
}

TEST_F(DownloadFileTest, CompleteMatchingBodyTakesItsName) {
  const std::string content = "hello, mirror";
  relay.script_path("/f", {body(content)});
  FetchOutcome outcome = fetch("/f", "f.bin", DigestCheck{DigestKind::Sha1, sha1_hex(content)});
  EXPECT_EQ(outcome.status, 200);
  EXPECT_EQ(outcome.end, FetchEnd::Stored);
  EXPECT_EQ(out, "Downloading " + relay.base_url() + "/f\n");
  EXPECT_EQ(read_file(out_file("f.bin")), content);
  EXPECT_EQ(dir.entries("out"), std::vector<std::string>{"f.bin"});
}

TEST_F(DownloadFileTest, FailuresLeaveNothingAndKeepAnExistingFile) {
  ASSERT_TRUE(system_env().make_directory(*state.settings.output_dir).ok());
  const std::string good = "good copy from an earlier run";
  ScriptedReply cut = body(std::string(100000, 'x'));
  cut.drop_after = 5000;
  struct Case {
    const char* what;
    ScriptedReply reply;
    long status;
    FetchEnd end;
  } cases[] = {
      {"not found", body("error page", 404), 404, FetchEnd::HttpError},
      {"server error", body("oops", 500), 500, FetchEnd::HttpError},
      {"cut mid-body", cut, 0, FetchEnd::TransferError},
      {"wrong bytes", body("substituted"), 200, FetchEnd::DigestMismatch},
  };
  for (const auto& c : cases) {
    write_file(out_file("f.bin"), good);
    relay.script_path("/f", {c.reply});
    FetchOutcome outcome = fetch("/f", "f.bin", DigestCheck{DigestKind::Sha1, sha1_hex(good)});
    EXPECT_EQ(outcome.status, c.status) << c.what;
    EXPECT_EQ(outcome.end, c.end) << c.what;
    EXPECT_EQ(read_file(out_file("f.bin")), good) << c.what;
    EXPECT_EQ(dir.entries("out"), std::vector<std::string>{"f.bin"}) << c.what;
  }
}

// A complete answer of any code but 200 (an empty 204, a partial 206, a 203 from a proxy) is
// not the file.
TEST_F(DownloadFileTest, OnlyA200IsTheFile) {
  for (int code : {201, 203, 204, 206, 299}) {
    relay.script_path("/f", {body(code == 204 ? "" : "bytes", code)});
    FetchOutcome outcome = fetch("/f", "f.bin", std::nullopt);
    EXPECT_EQ(outcome.end, FetchEnd::HttpError) << code;
    EXPECT_EQ(outcome.status, code);
    EXPECT_FALSE(file_exists(out_file("f.bin"))) << code;
  }
}

// The system refusing a step of the write: a full disk during the body, a failed move onto the
// name. The earlier file stays whole, no temporary file is left, and the outcome keeps the
// system's reason.
TEST_F(DownloadFileTest, TheFileSystemRefusingAWrite) {
  ASSERT_TRUE(system_env().make_directory(*state.settings.output_dir).ok());
  const std::string content(300000, 'c'), good = "good copy";
  struct Case {
    const char* what;
    void (FaultEnv::*fault)();
    std::string reason;
  } cases[] = {
      {"disk full", nullptr, "cannot write the file: " + system_error_text(ENOSPC)},
      {"rename refused", &FaultEnv::fail_renames,
       "cannot rename the file: " + system_error_text(EXDEV)},
  };
  for (const Case& c : cases) {
    write_file(out_file("f.bin"), good);
    env.heal();
    if (c.fault)
      (env.*c.fault)();
    else
      env.fill_disk_after(100000);
    relay.script_path("/f", {body(content)});
    FetchOutcome outcome = fetch("/f", "f.bin", DigestCheck{DigestKind::Sha1, sha1_hex(content)});
    EXPECT_EQ(outcome.end, FetchEnd::WriteError) << c.what;
    EXPECT_EQ(outcome.reason.message(), c.reason) << c.what;
    EXPECT_EQ(read_file(out_file("f.bin")), good) << c.what;
    EXPECT_EQ(dir.entries("out"), std::vector<std::string>{"f.bin"}) << c.what;
  }
}

TEST_F(DownloadFileTest, DigestMismatchIsReported) {
  const std::string expected(40, 'A');
  relay.script_path("/f", {body("abc")});
  FetchOutcome outcome = fetch("/f", "f.bin", DigestCheck{DigestKind::Sha1, expected});
  EXPECT_NE(outcome.end, FetchEnd::Stored);
  EXPECT_EQ(out, "Downloading " + relay.base_url() + "/f\nDigest mismatch for " + relay.base_url() +
                     "/f: expected " + expected + ", received " + sha1_hex("abc") + "\n");
  EXPECT_EQ(dir.entries("out"), std::vector<std::string>{});
}

TEST_F(DownloadFileTest, Sha256CheckIgnoresCase) {
  std::string digest = sha256_hex("data");
  for (auto& c : digest) c = static_cast<char>(toupper(c));
  relay.script_path("/f", {body("data")});
  EXPECT_EQ(fetch("/f", "f", DigestCheck{DigestKind::Sha256, digest}).end, FetchEnd::Stored);
}

TEST_F(DownloadFileTest, WithoutACheckAnyCompleteBodyIsKept) {
  relay.script_path("/f", {body("anything")});
  EXPECT_EQ(fetch("/f", std::nullopt, std::nullopt).end, FetchEnd::Stored);
  EXPECT_EQ(read_file(out_file("download.bin")), "anything");
  EXPECT_EQ(fetch("/f", "", std::nullopt).end, FetchEnd::Stored);
  EXPECT_EQ(dir.entries("out"), std::vector<std::string>{"download.bin"});
}

TEST_F(DownloadFileTest, DotNamesAreNeverWritten) {
  relay.script_path("/f", {body("x")});
  for (std::string name : {".", ".."}) {
    FetchOutcome outcome = fetch("/f", name, std::nullopt);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(out, "Downloading " + relay.base_url() +
                       "/f\nError opening file for write: " + out_file(name) + "\n");
  }
  EXPECT_TRUE(relay.requests().empty());  // no transfer was made
}

TEST_F(DownloadFileTest, OutputDirectoryThatIsAFileCannotTakeWrites) {
  write_file(dir.file("out"), "a plain file");
  relay.script_path("/f", {body("x")});
  FetchOutcome outcome = fetch("/f", "f.bin", std::nullopt);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(out.ends_with("Error opening file for write: " + out_file("f.bin") + "\n"));
}

// The fatal error comes before any transfer, and ends the fetch with the run's end.
TEST(DownloadFileFatalTest, OutputDirectoryWithoutParentEndsTheRun) {
  VirtualClock clock;
  FaultEnv env{clock};
  RunState state{env};
  TempDir dir;
  state.settings.output_dir = dir.file("missing/out");
  state.settings.log_path = dir.file("run.log");
  testing::internal::CaptureStdout();
  FetchOutcome outcome =
      *state.loop.run(download_file(state, "http://127.0.0.1:1/f", "f", std::nullopt));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(outcome.end, FetchEnd::RunEnded);
  EXPECT_EQ(outcome.reason.code(), Status::Code::Fatal);
  EXPECT_EQ(read_file(dir.file("run.log")),
            "Downloading http://127.0.0.1:1/f\nCould not create output directory: " +
                dir.file("missing/out") + "\n");
}

TEST_F(DownloadFileTest, NoOutputDirectoryMeansTheCurrentOne) {
  state.settings.output_dir = "";
  relay.script_path("/f", {body("here")});
  std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  FetchOutcome outcome = fetch("/f", "here.bin", std::nullopt);
  std::filesystem::current_path(cwd);
  EXPECT_EQ(outcome.end, FetchEnd::Stored);
  EXPECT_EQ(read_file(dir.file("here.bin")), "here");
}

TEST_F(DownloadFileTest, RedirectIsFollowed) {
  ScriptedReply moved = body("", 301);
  moved.location = "/real";
  relay.script_path("/f", {moved});
  relay.script_path("/real", {body("moved content")});
  FetchOutcome outcome = fetch("/f", "f", DigestCheck{DigestKind::Sha1, sha1_hex("moved content")});
  EXPECT_EQ(outcome.status, 200);
  EXPECT_EQ(outcome.end, FetchEnd::Stored);
  EXPECT_EQ(read_file(out_file("f")), "moved content");
}

TEST_F(DownloadFileTest, LargeBodyInManyChunksArrivesWhole) {
  std::string content(6 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131) >> 3);
  ScriptedReply chunked = body(content);
  chunked.chunk_size = 4093;
  relay.script_path("/big", {chunked});
  FetchOutcome outcome = fetch("/big", "big", DigestCheck{DigestKind::Sha256, sha256_hex(content)});
  EXPECT_EQ(outcome.end, FetchEnd::Stored);
  EXPECT_EQ(read_file(out_file("big")), content);
}

}  // namespace
