// File names as the platform's file system takes them: which names are plain, how paths are told
// apart, and when two paths lead to one file.
#include "platform/file_names.h"

#include <gtest/gtest.h>

#include "support/test_files.h"

#ifdef _WIN32
#include "platform/windows/wide_text.h"
#endif

namespace {

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

TEST(FileNamesTest, PlainNames) {
  // Whether each name is plain on Linux and on Windows.
  struct Case {
    std::string name;
    bool on_linux, on_windows;
  } cases[] = {
      {"file.txt", true, true},
      {"J\xC3\xBCrgen.bin", true, true},
      {std::string(255, 'n'), true, true},
      {std::string(256, 'n'), false, false},
      {[] {  // 100 UTF-16 units in 300 bytes
         std::string name;
         for (int i = 0; i < 100; ++i) name += "\xE5\x88\x97";
         return name;
       }(),
       false, true},
      {std::string(200, '\xE5'), true, false},  // not UTF-8
      {"", false, false},
      {".", false, false},
      {"..", false, false},
      {"...", true, false},
      {".hidden", true, true},
      {"a\x1b[2Jb", false, false},
      {"a\x7f", false, false},
      {std::string("a\0b", 3), false, false},
      {"a\tb", false, false},
      {"..\\..\\x", true, false},
      {"C:\\x", true, false},
      {"\\\\?\\C:\\x", true, false},
      {"\\\\.\\C:\\x", true, false},
      {"file:stream", true, false},
      {"a*b", true, false},
      {"what?", true, false},
      {"say\"so\"", true, false},
      {"a<b>c", true, false},
      {"a|b", true, false},
      {"a.bin.", true, false},
      {"a.bin ", true, false},
      {" a.bin", true, true},
      {"NUL", true, false},
      {"nul.txt", true, false},
      {"Con.tar.gz", true, false},
      {"AUX  .log", true, false},
      {"prn", true, false},
      {"CONIN$", true, false},
      {"conout$.txt", true, false},
      {"COM0", true, false},
      {"com9.bin", true, false},
      {"LPT1", true, false},
      {"COM\xC2\xB9", true, false},
      {"lpt\xC2\xB3.txt", true, false},
      {"COM10", true, true},
      {"CONSOLE", true, true},
      {"NULL.txt", true, true},
      {"xNUL", true, true},
      {"COM", true, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(is_plain_file_name(c.name), kWindows ? c.on_windows : c.on_linux)
        << "name: " << c.name << " (" << c.name.size() << " bytes)";
}

TEST(FileNamesTest, NamesAreToldApartAsTheFileSystemDoes) {
  struct Case {
    std::string a, b;
    bool same_on_windows;
  } cases[] = {
      {"out/a.bin", "out/a.bin", true},
      {"out/A.bin", "out/a.bin", true},
      {"J\xC3\xBCrgen.bin", "J\xC3\x9CRGEN.BIN", true},   // Jürgen, JÜRGEN
      {"J\xC3\xBCrgen.bin", "J\xC3\xB6rgen.bin", false},  // Jürgen, Jörgen
      {"a.bin", "b.bin", false},
      {"a.bin", "a.bin2", false},
  };
  for (const Case& c : cases) {
    const bool same = c.a == c.b || (kWindows && c.same_on_windows);
    EXPECT_EQ(compare_paths(c.a, c.b) == 0, same) << c.a << " " << c.b;
    // An order: the two directions agree.
    EXPECT_EQ(compare_paths(c.a, c.b) < 0, compare_paths(c.b, c.a) > 0) << c.a << " " << c.b;
  }
}

TEST(FileNamesTest, SameTargetWhetherOrNotTheFileExists) {
  TempDir dir;
  write_file(dir.file("log.txt"), "x");
  ASSERT_TRUE(create_directory(dir.file("sub")));
  struct Case {
    std::string a, b;
    bool same_on_linux, same_on_windows;
  } cases[] = {
      {dir.file("log.txt"), dir.file("sub/../log.txt"), true, true},
      {dir.file("log.txt"), native_path(dir.file("./log.txt")), true, true},
      {dir.file("log.txt"), dir.file("LOG.TXT"), false, true},
      {dir.file("new.txt"), dir.file("sub/../new.txt"), true, true},  // neither exists yet
      {dir.file("new.txt"), dir.file("NEW.txt"), false, true},
      {dir.file("log.txt"), dir.file("new.txt"), false, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(same_target(c.a, c.b), kWindows ? c.same_on_windows : c.same_on_linux)
        << c.a << " " << c.b;
}

TEST(FileNamesTest, NamesFromListBytes) {
  EXPECT_EQ(file_name_text("J\xC3\xBCrgen.bin"), "J\xC3\xBCrgen.bin");
#ifdef _WIN32
  if (GetACP() != 1252) GTEST_SKIP() << "the ANSI code page here is " << GetACP();
#endif
  // Jürgen in Windows-1252, the ANSI code page of a Western system: on Windows it is read in
  // that code page; on Linux a name is bytes and stays as it is.
  EXPECT_EQ(file_name_text("J\xFCrgen.bin"), kWindows ? "J\xC3\xBCrgen.bin" : "J\xFCrgen.bin");
}

#ifdef _WIN32
TEST(FileNamesTest, ShortNamesAreToldApartByTheirLongName) {
  TempDir dir;
  write_file(dir.file("LongFileName.bin"), "x");
  wchar_t short_name[MAX_PATH];
  const std::wstring long_name = wide_from_utf8(native_path(dir.file("LongFileName.bin")));
  DWORD length = GetShortPathNameW(long_name.c_str(), short_name, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || long_name == short_name)
    GTEST_SKIP() << "this volume keeps no short names";
  EXPECT_EQ(compare_paths(file_system_name(utf8_from_wide(short_name)),
                          file_system_name(native_path(dir.file("LongFileName.bin")))),
            0);
  EXPECT_EQ(file_system_name(native_path(dir.file("missing.bin"))),
            native_path(dir.file("missing.bin")));
}

TEST(FileNamesTest, LongPathsAreHandedOverWhole) {
  wchar_t cwd[MAX_PATH];
  const DWORD cwd_length = GetCurrentDirectoryW(MAX_PATH, cwd);
  ASSERT_GT(cwd_length, 0u);
  ASSERT_LT(cwd_length, 200u);
  const std::string base = "C:\\base\\";
  const std::string long_tail(300, 'f');
  struct Case {
    std::string path;
    std::wstring wide;
  } cases[] = {
      {"short.bin", L"short.bin"},
      {base + std::string(247 - base.size(), 'a'),
       wide_from_utf8(base + std::string(247 - base.size(), 'a'))},
      {base + std::string(248 - base.size(), 'a'),
       L"\\\\?\\" + wide_from_utf8(base + std::string(248 - base.size(), 'a'))},
      {"C:/base/" + long_tail, L"\\\\?\\C:\\base\\" + wide_from_utf8(long_tail)},
      {"\\\\?\\C:\\" + long_tail, L"\\\\?\\C:\\" + wide_from_utf8(long_tail)},
      {"//?/C:/" + long_tail, L"\\\\?\\C:\\" + wide_from_utf8(long_tail)},
      {"\\\\server\\share\\" + long_tail,
       L"\\\\?\\UNC\\server\\share\\" + wide_from_utf8(long_tail)},
      {long_tail, L"\\\\?\\" + std::wstring(cwd) + L"\\" + wide_from_utf8(long_tail)},
  };
  for (const Case& c : cases) EXPECT_EQ(wide_path(c.path), c.wide) << c.path;
}
#endif

}  // namespace
