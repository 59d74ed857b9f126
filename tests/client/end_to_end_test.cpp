// The quonfetch binary against the test relay: standard output, the log file, the files saved
// and the exit status, for runs that need no pause.
#include <filesystem>

#include <gtest/gtest.h>

#include "support/run_lines.h"
#include "support/test_env.h"
#include "support/test_relay.h"

namespace {

class EndToEndTest : public ::testing::Test {
 protected:
  ProgramRun quonfetch(std::vector<std::string> args) {
    std::vector<std::string> all{"-r", "127.0.0.1", "-p", std::to_string(relay.port())};
    all.insert(all.end(), args.begin(), args.end());
    return run_client(all, dir.path());
  }
  // Serves `content` at its sha1 mirror path and returns its sha1.
  std::string serve(const std::string& content) {
    std::string sha1 = sha1_hex(content);
    relay.serve_file(sha1, content);
    return sha1;
  }
  std::string header(size_t n) const {
    return "Sending download requests for " + std::to_string(n) + " download(s) on " +
           relay.base_url() + "\n";
  }
  std::string mirror(const std::string& kind, const std::string& digest) const {
    return relay.base_url() + "/kxmirror/downloads/" + kind + "/" + digest;
  }
  void serve_path(const std::string& path, int code, const std::string& body) {
    ScriptedReply reply;
    reply.code = code;
    reply.body = body;
    relay.script_path(path, {reply});
  }

  TempDir dir;
  TestRelay relay;
};

TEST_F(EndToEndTest, SingleDownloadByteForByte) {
  const std::string content = "the file's bytes\n";
  std::string sha1 = serve(content);
  ProgramRun r =
      quonfetch({"-s", sha1, "-z", "17", "-u", "http://origin/dir/file.txt", "-l", "run.log"});
  const std::string expected = header(1) + "1 download(s) available.\nDownloading " +
                               mirror("sha1", sha1) + "\n1 download(s) successfully downloaded.\n";
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(same_run_output(r.out, expected));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_client_text(dir.file("run.log")), r.out);
  EXPECT_EQ(read_file(dir.file("file.txt")), content);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"file.txt", "run.log"}));
  auto posts = relay.requests_to("/DownloadRequest");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].body, "0\naid=0,index=null,sha1=" + sha1 +
                               ",size=17,url=http%3A%2F%2Forigin%2Fdir%2Ffile.txt\n");
}

TEST_F(EndToEndTest, ListFileWithOutputDirLogAndDebug) {
  std::string a = serve("alpha"), b = serve("bravo");
  std::string b256 = sha256_hex("bravo");
  write_file(dir.file("list.txt"), a + "\t5\thttp://o/a.bin\r\n" + "\n" + b + " 5 " + b256 +
                                       " https://o/b.bin\nshort line\n");
  ProgramRun r = quonfetch({"-f", "list.txt", "-o", "out", "-l", "run.log", "-d"});
  EXPECT_EQ(r.exit_status, 0);
  std::string reply = "Contents of response: 0\naid=0,status=Available\n\n";
  std::string expected =
      header(2) + "Sending request to " + relay.base_url() +
      "/DownloadRequest with body: 0\naid=0,index=null,sha1=" + a +
      ",size=5,url=http%3A%2F%2Fo%2Fa.bin\n\n" + reply + "Sending request to " + relay.base_url() +
      "/DownloadRequest with body: 0\naid=0,index=null,sha1=" + b +
      ",size=5,url=https%3A%2F%2Fo%2Fb.bin,sha256=" + b256 + "\n\n" + reply +
      "2 download(s) available.\nDownloading " + mirror("sha1", a) + "\nDownloading " +
      mirror("sha1", b) + "\n2 download(s) successfully downloaded.\n";
  EXPECT_TRUE(same_run_output(r.out, expected, {{a}, {b}}));
  EXPECT_EQ(read_client_text(dir.file("run.log")), r.out);
  EXPECT_EQ(read_file(dir.file("out/a.bin")), "alpha");
  EXPECT_EQ(read_file(dir.file("out/b.bin")), "bravo");
  EXPECT_EQ(dir.entries("out"), (std::vector<std::string>{"a.bin", "b.bin"}));
}

TEST_F(EndToEndTest, Sha256MirrorAfterSha1Fails) {
  const std::string content = "second chance";
  std::string sha1 = sha1_hex(content), sha256 = sha256_hex(content);
  serve_path("/kxmirror/downloads/sha1/" + sha1, 404, "no");
  serve_path("/kxmirror/downloads/sha256/" + sha256, 200, content);
  ProgramRun r = quonfetch({"-s", sha1, "-z", "13", "-u", "http://o/f", "-q", sha256});
  EXPECT_TRUE(same_run_output(r.out, header(1) + "1 download(s) available.\nDownloading " +
                                         mirror("sha1", sha1) + "\nError downloading " +
                                         mirror("sha1", sha1) + " Response:404\n" + "Downloading " +
                                         mirror("sha256", sha256) + "\n" +
                                         "1 download(s) successfully downloaded.\n"));
  EXPECT_EQ(read_file(dir.file("f")), content);
}

TEST_F(EndToEndTest, BothMirrorsFailingLeaveAnExistingFileAlone) {
  std::string sha1(40, 'a'), sha256(64, 'b');
  serve_path("/kxmirror/downloads/sha1/" + sha1, 404, "error page");
  serve_path("/kxmirror/downloads/sha256/" + sha256, 500, "another error page");
  write_file(dir.file("f"), "earlier good copy");
  ProgramRun r = quonfetch({"-s", sha1, "-z", "1", "-u", "http://o/f", "-q", sha256});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(same_run_output(r.out, header(1) + "1 download(s) available.\nDownloading " +
                                         mirror("sha1", sha1) + "\nError downloading " +
                                         mirror("sha1", sha1) + " Response:404\n" + "Downloading " +
                                         mirror("sha256", sha256) + "\nError downloading " +
                                         mirror("sha256", sha256) + " Response:500\n" +
                                         "0 download(s) successfully downloaded.\n"));
  EXPECT_EQ(read_file(dir.file("f")), "earlier good copy");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"f"});
}

TEST_F(EndToEndTest, DigestMismatchKeepsNothing) {
  std::string sha1 = sha1_hex("expected");
  serve_path("/kxmirror/downloads/sha1/" + sha1, 200, "substituted");
  ProgramRun r = quonfetch({"-s", sha1, "-z", "8", "-u", "http://o/f"});
  EXPECT_TRUE(same_run_output(
      r.out, header(1) + "1 download(s) available.\nDownloading " + mirror("sha1", sha1) +
                 "\nDigest mismatch for " + mirror("sha1", sha1) + ": expected " + sha1 +
                 ", received " + sha1_hex("substituted") + "\nError downloading " +
                 mirror("sha1", sha1) + " Response:200\n" +
                 "0 download(s) successfully downloaded.\n"));
  EXPECT_TRUE(dir.entries().empty());
}

TEST_F(EndToEndTest, DigestOfAnotherFormIsNotChecked) {
  serve_path("/kxmirror/downloads/sha1/not-a-digest", 200, "whatever arrives");
  ProgramRun r = quonfetch({"-s", "not-a-digest", "-z", "1", "-u", "http://o/f"});
  EXPECT_TRUE(r.out.ends_with("1 download(s) successfully downloaded.\n")) << r.out;
  EXPECT_EQ(read_file(dir.file("f")), "whatever arrives");
}

TEST_F(EndToEndTest, RedirectOnTheMirror) {
  std::string sha1 = sha1_hex("moved");
  ScriptedReply moved;
  moved.code = 302;
  moved.location = "/store/moved";
  relay.script_path("/kxmirror/downloads/sha1/" + sha1, {moved});
  serve_path("/store/moved", 200, "moved");
  ProgramRun r = quonfetch({"-s", sha1, "-z", "5", "-u", "http://o/m"});
  EXPECT_TRUE(r.out.ends_with("1 download(s) successfully downloaded.\n")) << r.out;
  EXPECT_EQ(read_file(dir.file("m")), "moved");
}

TEST_F(EndToEndTest, FileNameRules) {
  std::string one = serve("one"), two = serve("two"), three = serve("three"), four = serve("four"),
              five = serve("five");
  write_file(dir.file("list"), one + " 3 http://o/get?id=1&x=%20\n" + two + " 3 http://o/dir/\n" +
                                   three + " 5 bare-name\n" + four + " 4 http://a/same\n" + five +
                                   " 4 http://b/same\n" + four + " 4 http://c/same\n");
  ProgramRun r = quonfetch({"-f", "list", "-o", "out"});
  // Windows allows no '?' in a file name: there the first record's file cannot be made.
  const bool query_in_name = !client_is_windows();
  // A name that another record's file already took this run keeps that file; the same file
  // asked for again is fetched again.
  EXPECT_NE(
      r.out.find("Downloading " + mirror("sha1", two) +
                 "\nError: " + client_path("out", "download.bin") +
                 " was already written by this run\nDownloading " + mirror("sha1", four) +
                 "\nError: " + client_path("out", "same") +
                 " was already written by this run\nDownloading " + mirror("sha1", four) + "\n" +
                 (query_in_name ? "4" : "3") + " download(s) successfully downloaded.\n"),
      std::string::npos)
      << r.out;
  std::vector<std::string> names{"download.bin", "get?id=1&x=%20", "same"};
  if (query_in_name)
    EXPECT_EQ(read_file(dir.file("out/get?id=1&x=%20")), "one");
  else
    names.erase(names.begin() + 1);
  EXPECT_EQ(dir.entries("out"), names);
  EXPECT_EQ(read_file(dir.file("out/download.bin")), "two");
  EXPECT_EQ(read_file(dir.file("out/same")), "four");
  EXPECT_TRUE(relay.requests_to("/kxmirror/downloads/sha1/" + five).empty());
}

TEST_F(EndToEndTest, LogFileThatIsTheListFileStopsTheRun) {
  const std::string list = serve("x") + " 1 http://o/x\n";
  for (const std::string& log : {std::string("list"), std::string("./list"), dir.file("list")}) {
    write_file(dir.file("list"), list);
    ProgramRun r = quonfetch({"-f", "list", "-l", log});
    EXPECT_EQ(r.exit_status, 1) << log;
    EXPECT_EQ(r.out, "Error: the log file is the list file: " + log + "\n");
    EXPECT_EQ(read_file(dir.file("list")), list) << log;
  }
  EXPECT_TRUE(relay.requests().empty());
}

TEST_F(EndToEndTest, ListFileThatIsAFolder) {
  ProgramRun r = quonfetch({"-f", ".", "-l", "run.log"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "ERROR: Can't open file .\n");
  EXPECT_EQ(read_client_text(dir.file("run.log")), r.out);
}

TEST_F(EndToEndTest, NamesTheFileSystemRefusesAndPathsFormedWhole) {
  const std::string long_name(300, 'n');  // longer than any file name may be
  std::string a = serve("a"), b = serve("b");
  ASSERT_TRUE(std::filesystem::create_directories(dir.file("out/sub")));
  // A digest text of any length is asked for whole, as it stands in the record.
  const std::string long_digest(5000, 'd');
  serve_path("/kxmirror/downloads/sha1/" + long_digest, 200, "whole");
  write_file(dir.file("list"), a + " 1 http://o/" + long_name + "\n" + b + " 1 http://o/sub\n" +
                                   long_digest + " 5 http://o/long\n");
  ProgramRun r = quonfetch({"-f", "list", "-o", "out"});
  // A name too long for the file system fails before any transfer; a folder is found before
  // the transfer too, once the fetch has begun.
  EXPECT_TRUE(same_run_output(
      r.out,
      header(3) + "3 download(s) available.\nError opening file for write: " +
          client_path("out", long_name) + "\nDownloading " + mirror("sha1", b) +
          "\nError opening file for write: " + client_path("out", "sub") + "\n" +
          "Error downloading " + mirror("sha1", b) + " Response:0\nDownloading " +
          mirror("sha1", long_digest) + "\n1 download(s) successfully downloaded.\n",
      {{b, client_path("out", "sub")}}));
  EXPECT_TRUE(relay.requests_to("/kxmirror/downloads/sha1/" + a).empty());  // no transfer
  EXPECT_TRUE(relay.requests_to("/kxmirror/downloads/sha1/" + b).empty());
  EXPECT_EQ(dir.entries("out"), (std::vector<std::string>{"long", "sub"}));
  EXPECT_EQ(read_file(dir.file("out/long")), "whole");
}

TEST_F(EndToEndTest, ClosedStandardOutputChangesNothingElse) {
  std::string a = serve("a"), b = serve("b");
  write_file(dir.file("list"), a + " 1 http://o/a\n" + b + " 1 http://o/b\n");
  std::vector<std::string> args{"-r", "127.0.0.1", "-p", std::to_string(relay.port()),
                                "-f", "list",      "-l", "run.log"};
  ProgramRun r = run_client(args, dir.path(), 0, nullptr, true);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.signal, 0);
  EXPECT_TRUE(
      read_client_text(dir.file("run.log")).ends_with("2 download(s) successfully downloaded.\n"));
  EXPECT_EQ(read_file(dir.file("a")), "a");
  EXPECT_EQ(read_file(dir.file("b")), "b");
}

TEST_F(EndToEndTest, OutputDirectoryCases) {
  std::string sha1 = serve("x");
  std::vector<std::string> single{"-s", sha1, "-z", "1", "-u", "http://o/x"};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = single;
    args.insert(args.end(), extra.begin(), extra.end());
    return quonfetch(args);
  };

  ProgramRun created = with({"-o", "new\""});  // the closing quote is dropped
  EXPECT_EQ(created.exit_status, 0);
  EXPECT_EQ(read_file(dir.file("new/x")), "x");

  ProgramRun orphan = with({"-o", "missing/out", "-l", "run.log"});
  EXPECT_EQ(orphan.exit_status, 1);
  EXPECT_TRUE(same_run_output(
      orphan.out, header(1) + "1 download(s) available.\nDownloading " + mirror("sha1", sha1) +
                      "\nCould not create output directory: missing/out\n"));
  EXPECT_EQ(read_client_text(dir.file("run.log")), orphan.out);

  write_file(dir.file("plain"), "a file");
  // With -d, the system's reason follows the error line.
  ProgramRun on_file = with({"-o", "plain", "-d"});
  EXPECT_EQ(on_file.exit_status, 0);
  EXPECT_NE(on_file.out.find("Error opening file for write: " + client_path("plain", "x") +
                             "\nError downloading " + mirror("sha1", sha1) +
                             " Response:0\nReason: cannot create a temporary file: "),
            std::string::npos)
      << on_file.out;
  EXPECT_EQ(read_file(dir.file("plain")), "a file");
}

TEST_F(EndToEndTest, NamesBeyondAscii) {
  std::string sha1 = serve("grüße");
  write_file(dir.file("列表.txt"), sha1 + " 7 http://o/Grüße.txt\n");
  ProgramRun r = quonfetch({"-f", "列表.txt", "-o", "Jürgen", "-l", "Jürgen.log"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(r.out.ends_with("1 download(s) successfully downloaded.\n")) << r.out;
  EXPECT_EQ(read_client_text(dir.file("Jürgen.log")), r.out);
  EXPECT_EQ(read_file(dir.file("Jürgen/Grüße.txt")), "grüße");
}

// The relay speaks only TLS: the first requests over http fail, the fourth moves to https (with
// the certificate checks off), and the mirror follows it there. About nine seconds of retries.
TEST_F(EndToEndTest, HttpsFallBackToATlsOnlyRelay) {
  TestRelay tls(TestRelay::Scheme::Https);
  const std::string content = "over TLS";
  const std::string sha1 = sha1_hex(content);
  tls.serve_file(sha1, content);
  ProgramRun r = run_client({"-r", "127.0.0.1", "-p", std::to_string(tls.port()), "-s", sha1, "-z",
                             "8", "-u", "http://o/secure.bin"},
                            dir.path());
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.out.find("Will retry (#4) in 3 seconds on " + tls.base_url() + "/DownloadRequest\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Downloading " + tls.base_url() + "/kxmirror/downloads/sha1/" + sha1 +
                       "\n1 download(s) successfully downloaded.\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(tls.requests_to("/DownloadRequest").size(), 1u);
  EXPECT_EQ(read_file(dir.file("secure.bin")), content);
}

}  // namespace
