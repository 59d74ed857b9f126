// The interrupt handler's table of files, as registration sees it: at most 64 at once, a path
// registered twice kept once, a forgotten file's slot taken by the next. Nothing is interrupted
// here (the handler is not installed), so it runs on every platform; what an interrupt then
// removes is shown by interrupt_cleanup_test.cpp.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/interrupt_cleanup.h"
#include "support/test_files.h"

namespace {

TEST(InterruptTableTest, KeepsAtMostSixtyFourFilesAndReusesAFreedSlot) {
  TempDir dir;  // the files need not exist: registration only keeps their names
  std::vector<std::string> paths;
  for (int i = 0; i <= kMaxFilesRemovedOnInterrupt; ++i)
    paths.push_back(native_path(dir.file(".quonfetch-" + std::to_string(i))));
  const std::string& last = paths.back();

  for (int i = 0; i < kMaxFilesRemovedOnInterrupt; ++i)
    EXPECT_TRUE(remove_on_interrupt(paths[static_cast<size_t>(i)].c_str())) << i;
  EXPECT_TRUE(remove_on_interrupt(paths[0].c_str()));  // already there: takes no slot
  EXPECT_FALSE(remove_on_interrupt(last.c_str()));     // the 65th
  EXPECT_FALSE(remove_on_interrupt(""));

  forget_on_interrupt((dir.path() + "/never-registered").c_str());
  EXPECT_FALSE(remove_on_interrupt(last.c_str()));  // forgetting another name freed nothing
  forget_on_interrupt(paths[10].c_str());
  EXPECT_TRUE(remove_on_interrupt(last.c_str()));
  EXPECT_FALSE(remove_on_interrupt(paths[10].c_str()));

  for (const std::string& path : paths) forget_on_interrupt(path.c_str());
  EXPECT_TRUE(remove_on_interrupt(paths[10].c_str()));  // all free again
  forget_on_interrupt(paths[10].c_str());
}

}  // namespace
