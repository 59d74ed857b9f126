// The interrupt handler's files: the temporary files of the downloads that asked for them, each
// until its own commit or removal, and no file another writer makes meanwhile (the relay's
// workers write many at once). POSIX only: the Windows client's handler is shown by the tests of
// the binary under Wine.
#include "platform/interrupt_cleanup.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/atomic_file.h"
#include "support/test_files.h"

namespace {

// Forks a child that installs the handler and runs `body`, which raises SIGINT while its files
// are still open (returning would close them); returns once the child has ended, after checking
// that it died of the signal. A body that fails returns, and the child exits with 3.
template <typename Body>
void run_interrupted_child(Body body) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    install_interrupt_cleanup();
    body();
    _exit(3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
}

TEST(InterruptCleanupTest, AnInterruptRemovesTheFileThatAskedAndNoOther) {
  TempDir dir;
  ASSERT_TRUE(create_directory(dir.file("download")));
  ASSERT_TRUE(create_directory(dir.file("others")));
  run_interrupted_child([&] {
    AtomicFile download(dir.file("download/f"), system_env(), OnInterrupt::Remove);
    download.write("part", 4);
    {
      AtomicFile done(dir.file("others/done"));
      done.write("x", 1);
      (void)done.commit();  // its name shows that it ran
    }
    AtomicFile open_elsewhere(dir.file("others/open"));
    open_elsewhere.write("y", 1);
    raise(SIGINT);
  });
  EXPECT_EQ(dir.entries("download"), std::vector<std::string>{});
  const std::vector<std::string> others = dir.entries("others");
  ASSERT_EQ(others.size(), 2u);
  EXPECT_TRUE(others[0].starts_with(".quonfetch-")) << others[0];  // the handler left it
  EXPECT_EQ(others[1], "done");
}

// What a child does to its downloads before it is interrupted. Open makes `number` more downloads
// (numbered on from the last), each writing into download/f<number>; the others act on one.
struct Step {
  enum Kind { Open, Forget, Commit, Discard } kind;
  int number;  // how many to open, or which download
};

struct ManyFilesCase {
  const char* name;
  std::vector<Step> steps;
  /// What the interrupt leaves in download/: "tmp<n>" is download n's temporary file, "f<n>" its
  /// committed target.
  std::vector<std::string> survivors;
};

// Runs the steps, then raises SIGINT; the temporary file names, in the downloads' order, go to
// names.txt so that the parent can tell which one survived. Returns only on a failure.
void run_steps_and_interrupt(const TempDir& dir, const std::vector<Step>& steps) {
  std::vector<std::unique_ptr<AtomicFile>> downloads;
  std::string names;
  for (const Step& step : steps) {
    if (step.kind == Step::Open) {
      for (int i = 0; i < step.number; ++i) {
        const std::string target = dir.file("download/f" + std::to_string(downloads.size()));
        downloads.push_back(
            std::make_unique<AtomicFile>(target, system_env(), OnInterrupt::Remove));
        if (!downloads.back()->is_open() || !downloads.back()->write("part", 4)) return;
        const std::string& path = downloads.back()->temporary_path();
        names += path.substr(path.rfind('/') + 1) + "\n";
      }
      continue;
    }
    std::unique_ptr<AtomicFile>& download = downloads.at(static_cast<size_t>(step.number));
    if (step.kind == Step::Forget) system_env().forget_temporary_file(download->temporary_path());
    if (step.kind == Step::Commit && !download->commit().ok()) return;
    if (step.kind == Step::Discard) download.reset();  // removes its file
  }
  write_file(dir.file("names.txt"), names);
  raise(SIGINT);
}

// The survivors spelled as the names of the files in download/, sorted.
std::vector<std::string> expected_entries(const TempDir& dir, const ManyFilesCase& test) {
  std::vector<std::string> temporary_names;
  std::istringstream lines(read_file(dir.file("names.txt")));
  for (std::string line; std::getline(lines, line);) temporary_names.push_back(line);
  std::vector<std::string> entries;
  for (const std::string& survivor : test.survivors)
    entries.push_back(survivor.starts_with("tmp")
                          ? temporary_names.at(std::stoul(survivor.substr(3)))
                          : survivor);
  std::sort(entries.begin(), entries.end());
  return entries;
}

const ManyFilesCase kManyFilesCases[] = {
    {"eight open: none is left", {{Step::Open, 8}}, {}},
    {"one of eight forgotten: it alone is left", {{Step::Open, 8}, {Step::Forget, 3}}, {"tmp3"}},
    {"one of eight committed: the others are still removed",
     {{Step::Open, 8}, {Step::Commit, 5}},
     {"f5"}},
    {"committed and discarded between opens",
     {{Step::Open, 3}, {Step::Commit, 0}, {Step::Discard, 1}, {Step::Open, 5}, {Step::Forget, 7}},
     {"f0", "tmp7"}},
    {"sixty-four open: none is left", {{Step::Open, 64}}, {}},
    {"a sixty-fifth is not registered", {{Step::Open, 65}}, {"tmp64"}},
    {"a slot freed by a commit takes the next",
     {{Step::Open, 64}, {Step::Commit, 10}, {Step::Open, 1}},
     {"f10"}},
};

TEST(InterruptCleanupTest, AnInterruptRemovesEveryRegisteredFile) {
  for (const ManyFilesCase& test : kManyFilesCases) {
    SCOPED_TRACE(test.name);
    TempDir dir;
    ASSERT_TRUE(create_directory(dir.file("download")));
    run_interrupted_child([&] { run_steps_and_interrupt(dir, test.steps); });
    EXPECT_EQ(dir.entries("download"), expected_entries(dir, test));
  }
}

}  // namespace
