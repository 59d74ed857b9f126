// The command line on Windows: read as UTF-16 from the system, so that names beyond the ANSI
// code page (a folder "Jürgen", a list "列表.txt") arrive intact, and handed on as UTF-8.
#include "platform/arguments.h"

#include <memory>

#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include "platform/windows/wide_text.h"

namespace {

struct LocalDeleter {
  void operator()(wchar_t** block) const { LocalFree(block); }
};

}  // namespace

std::vector<std::string> program_arguments(int argc, char** argv) {
  int count = 0;
  std::unique_ptr<wchar_t*, LocalDeleter> wide(CommandLineToArgvW(GetCommandLineW(), &count));
  // Without the wide command line the runtime's ANSI arguments are the best there is.
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(utf8_from_wide(wide.get()[i]));
  return arguments;
}
