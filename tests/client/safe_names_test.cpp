// The client's files stay where the user put them, through both builds (QUONFETCH_CLIENT picks
// the Windows one): a name from a URL never leaves the output folder, never lands on another
// record's file, the log or the list, and a list or an option in a Windows form is read as meant.
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "client/output/log.h"
#include "support/test_env.h"
#include "support/test_relay.h"

namespace {

class SafeNamesTest : public ::testing::Test {
 protected:
  ProgramRun quonfetch(std::vector<std::string> args, const std::string& cwd = "") {
    std::vector<std::string> all{"-r", "127.0.0.1", "-p", std::to_string(relay.port())};
    all.insert(all.end(), args.begin(), args.end());
    return run_client(all, cwd.empty() ? dir.path() : dir.file(cwd));
  }
  // Serves `content` at its sha1 mirror path and returns its sha1.
  std::string serve(const std::string& content) {
    std::string sha1 = sha1_hex(content);
    relay.serve_file(sha1, content);
    return sha1;
  }
  bool fetched(const std::string& sha1) const {
    return !relay.requests_to("/kxmirror/downloads/sha1/" + sha1).empty();
  }
  static std::string count_line(int n) {
    return std::to_string(n) + " download(s) successfully downloaded.\n";
  }

  TempDir dir;
  TestRelay relay;
};

// Names that climb out of -o, name a drive, a device or a stream, or carry a control character:
// refused on Windows before any transfer, with nothing written outside -o. On Linux a backslash,
// a colon or a device name is part of a plain name, saved inside -o.
TEST_F(SafeNamesTest, NamesThatLeaveTheFolderAreRefused) {
  ASSERT_TRUE(std::filesystem::create_directories(dir.file("a/b")));
  write_file(dir.file("victim.txt"), "mine");
  const char* wine = std::getenv("WINEPREFIX");
  const std::string drive_c_x = wine ? std::string(wine) + "/drive_c/x" : "";
  const bool drive_c_x_before = wine && file_exists(drive_c_x);
  struct Case {
    std::string name;
    bool refused_on_linux;
  } cases[] = {
      {"..\\..\\..\\victim.txt", false},
      {"C:\\x", false},
      {"\\\\?\\C:\\x", false},
      {"\\\\.\\C:\\x", false},
      {"NUL.txt", false},
      {"a.bin.", false},
      {"e\x1b[2J", true},
  };
  std::string list;
  for (const Case& c : cases) list += serve(c.name) + " 1 http://o/" + c.name + "\n";
  const std::string plain = serve("plain");
  write_file(dir.file("a/b/list"), list + plain + " 5 http://o/plain.bin\n");

  ProgramRun r = quonfetch({"-f", "list", "-o", "out"}, "a/b");
  EXPECT_EQ(r.exit_status, 0);
  int stored = 1;
  for (const Case& c : cases) {
    const bool refused = client_is_windows() || c.refused_on_linux;
    const std::string line =
        "Error opening file for write: " + escape_control_characters(client_path("out", c.name)) +
        "\n";
    EXPECT_EQ(r.out.find(line) != std::string::npos, refused) << c.name << "\n" << r.out;
    EXPECT_EQ(fetched(sha1_hex(c.name)), !refused) << c.name;
    if (!refused) {
      ++stored;
      EXPECT_EQ(read_file(dir.file("a/b/out/" + c.name)), c.name);
    }
  }
  EXPECT_TRUE(r.out.ends_with(count_line(stored))) << r.out;
  EXPECT_EQ(read_file(dir.file("a/b/out/plain.bin")), "plain");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a", "victim.txt"}));
  EXPECT_EQ(dir.entries("a"), std::vector<std::string>{"b"});
  EXPECT_EQ(dir.entries("a/b"), (std::vector<std::string>{"list", "out"}));
  EXPECT_EQ(read_file(dir.file("victim.txt")), "mine");

  // Without -o, a drive is no better.
  ProgramRun bare = quonfetch({"-s", sha1_hex("C:\\x"), "-z", "1", "-u", "http://o/C:\\x"}, "a/b");
  EXPECT_EQ(bare.out.find("Error opening file for write: C:\\x\n") != std::string::npos,
            client_is_windows())
      << bare.out;
  std::vector<std::string> left{"list", "out"};
  if (!client_is_windows()) left.insert(left.begin(), "C:\\x");
  EXPECT_EQ(dir.entries("a/b"), left);
  if (wine) {
    EXPECT_EQ(file_exists(drive_c_x), drive_c_x_before);
  }
}

// Names the file system does not tell apart are one file: the first record's stays, the second
// fails as any record whose name this run already wrote (on Windows, case does not count).
TEST_F(SafeNamesTest, NamesTheFileSystemCountsAsOne) {
  const std::string jurgen = "J\xC3\xBCrgen.bin", upper_jurgen = "J\xC3\x9CRGEN.bin";
  write_file(dir.file("list"), serve("first") + " 5 http://o/A.bin\n" + serve("second") +
                                   " 6 http://o/a.bin\n" + serve("third") + " 5 http://o/" +
                                   jurgen + "\n" + serve("fourth") + " 6 http://o/" + upper_jurgen +
                                   "\n");
  ProgramRun r = quonfetch({"-f", "list", "-o", "out"});
  if (client_is_windows()) {
    for (const std::string& name : {std::string("a.bin"), upper_jurgen})
      EXPECT_NE(
          r.out.find("Error: " + client_path("out", name) + " was already written by this run\n"),
          std::string::npos)
          << r.out;
    EXPECT_TRUE(r.out.ends_with(count_line(2))) << r.out;
    EXPECT_EQ(dir.entries("out"), (std::vector<std::string>{"A.bin", jurgen}));
    EXPECT_FALSE(fetched(sha1_hex("second")));
  } else {
    EXPECT_TRUE(r.out.ends_with(count_line(4))) << r.out;
    EXPECT_EQ(dir.entries("out"),
              (std::vector<std::string>{"A.bin", upper_jurgen, jurgen, "a.bin"}));
  }
  EXPECT_EQ(read_file(dir.file("out/A.bin")), "first");
  EXPECT_EQ(read_file(dir.file("out/" + jurgen)), "third");
}

// A download never replaces the run's log or list, however the name is spelled.
TEST_F(SafeNamesTest, TheRunsOwnFilesAreNeverTargets) {
  const std::string log_record = serve("not a log") + " 9 http://o/q.log\n";
  const std::string list = log_record + serve("not a list") + " 10 http://o/list\n" +
                           serve("upper") + " 5 http://o/Q.LOG\n";
  write_file(dir.file("list"), list);
  ProgramRun r = quonfetch({"-f", "list", "-l", "q.log"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.out.find("Error: q.log is the log file of this run\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Error: list is the list file of this run\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Error: Q.LOG is the log file of this run\n") != std::string::npos,
            client_is_windows())
      << r.out;
  EXPECT_TRUE(r.out.ends_with(count_line(client_is_windows() ? 0 : 1))) << r.out;
  EXPECT_EQ(read_client_text(dir.file("q.log")), r.out);
  EXPECT_EQ(read_file(dir.file("list")), list);
  EXPECT_FALSE(fetched(sha1_hex("not a log")));
  EXPECT_FALSE(fetched(sha1_hex("not a list")));
}

// A list saved as "Unicode" (UTF-16 with its mark) is read as its text; one saved in the ANSI
// code page keeps its names apart (read in that code page on Windows, as bytes on Linux), and
// the relay is sent the list's own bytes.
TEST_F(SafeNamesTest, ListsInTheEncodingsWindowsEditorsWrite) {
  const std::string a = serve("alpha"), b = serve("bravo");
  std::string utf16 = "\xFF\xFE";
  for (char c : a + "\t5\thttp://o/a.bin\r\n" + b + "\t5\thttp://o/b.bin\r\n") {
    utf16 += c;
    utf16 += '\0';
  }
  write_file(dir.file("unicode.txt"), utf16);
  ProgramRun r = quonfetch({"-f", "unicode.txt", "-o", "u"});
  EXPECT_TRUE(r.out.ends_with(count_line(2))) << r.out;
  EXPECT_EQ(dir.entries("u"), (std::vector<std::string>{"a.bin", "b.bin"}));

  write_file(dir.file("ansi.txt"), serve("one") + " 3 http://o/J\xFCrgen.bin\n" + serve("two") +
                                       " 3 http://o/J\xF6rgen.bin\n");
  ProgramRun ansi = quonfetch({"-f", "ansi.txt", "-o", "w"});
  EXPECT_TRUE(ansi.out.ends_with(count_line(2))) << ansi.out;
  const std::string jurgen = client_is_windows() ? "J\xC3\xBCrgen.bin" : "J\xFCrgen.bin";
  const std::string jorgen = client_is_windows() ? "J\xC3\xB6rgen.bin" : "J\xF6rgen.bin";
  EXPECT_EQ(read_file(dir.file("w/" + jurgen)), "one");
  EXPECT_EQ(read_file(dir.file("w/" + jorgen)), "two");
  auto posts = relay.requests_to("/DownloadRequest");
  ASSERT_EQ(posts.size(), 4u);
  EXPECT_NE(posts[2].body.find("url=http%3A%2F%2Fo%2FJ%FCrgen.bin"), std::string::npos);
}

// What cmd makes of -o "out dir\" -l q.log: a quote inside the folder and the options after it
// swallowed. Windows stops before anything else; on Linux a quote is part of a folder name.
TEST_F(SafeNamesTest, QuoteInTheOutputFolder) {
  const std::string sha1 = serve("x");
  const std::string swallowed = "out dir\" -l q.log";
  ProgramRun r = quonfetch({"-s", sha1, "-z", "1", "-u", "http://o/x", "-o", swallowed});
  ProgramRun no_relay = run_client({"-o", "out\" -r 127.0.0.1"}, dir.path());
  if (client_is_windows()) {
    for (const auto& [run, value] :
         {std::pair<ProgramRun*, std::string>{&r, swallowed}, {&no_relay, "out\" -r 127.0.0.1"}}) {
      EXPECT_EQ(run->exit_status, 1);
      EXPECT_EQ(run->out, "Error: the output folder holds a double quote: " + value +
                              " (write the folder without its final backslash, as in -o "
                              "\"C:\\dir\")\n");
    }
    EXPECT_TRUE(relay.requests().empty());
    EXPECT_TRUE(dir.entries().empty());
  } else {
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(read_file(dir.file(swallowed + "/x")), "x");
    EXPECT_EQ(no_relay.exit_status, 0);
    EXPECT_TRUE(no_relay.out.starts_with("Quonfetch.exe -r <relay url>")) << no_relay.out;
  }
}

// A 255-character name in a folder deep enough that the whole path is far past 260 characters.
TEST_F(SafeNamesTest, LongPathsWork) {
  const std::string deep = std::string(100, 'p') + "/" + std::string(100, 'q');
  ASSERT_TRUE(std::filesystem::create_directories(dir.file(deep)));
  const std::string name = std::string(251, 'n') + ".bin";
  const std::string sha1 = serve("far down");
  ProgramRun r = quonfetch({"-s", sha1, "-z", "8", "-u", "http://o/" + name, "-o", deep + "/out"});
  EXPECT_TRUE(r.out.ends_with(count_line(1))) << r.out;
  EXPECT_EQ(read_file(dir.file(deep + "/out/" + name)), "far down");
  EXPECT_EQ(dir.entries(deep + "/out"), std::vector<std::string>{name});
}

}  // namespace
