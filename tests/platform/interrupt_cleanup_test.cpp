// The interrupt handler's one file: the temporary file of the download that asked for it, and no
// file another writer makes meanwhile (the relay's workers write many at once). POSIX only: the
// Windows client's handler is shown by the tests of the binary under Wine.
#include "platform/interrupt_cleanup.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/atomic_file.h"
#include "support/test_files.h"

namespace {

TEST(InterruptCleanupTest, AnInterruptRemovesTheFileThatAskedAndNoOther) {
  TempDir dir;
  ASSERT_TRUE(create_directory(dir.file("download")));
  ASSERT_TRUE(create_directory(dir.file("others")));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    install_interrupt_cleanup();
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
    _exit(3);  // not reached: the handler ends the process by the signal
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_EQ(dir.entries("download"), std::vector<std::string>{});
  const std::vector<std::string> others = dir.entries("others");
  ASSERT_EQ(others.size(), 2u);
  EXPECT_TRUE(others[0].starts_with(".quonfetch-")) << others[0];  // the handler left it
  EXPECT_EQ(others[1], "done");
}

}  // namespace
