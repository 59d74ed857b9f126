// The console on Windows: lines end in CR LF, written as bytes, in UTF-8, a line in one write.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/console.h"

namespace {

// The output code page the console had before the program changed it; 0 when it was not changed.
std::atomic<UINT> users_code_page{0};

}  // namespace

const char* line_ending() {
  return "\r\n";
}

void init_console() {
  // Windows has no signal for a reader that went away: writes to such a pipe simply fail.
  // The output layer writes the CR LF itself; a text-mode stream would add a second CR.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // Paths and URLs are printed as UTF-8. The console keeps its code page after the program,
  // so the user's is given back at exit (and by the interrupt handler, which skips atexit).
  // Both fail harmlessly when there is no console.
  const UINT previous = GetConsoleOutputCP();
  if (previous != 0 && previous != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    users_code_page = previous;
    atexit(restore_console);
  }
}

void write_standard_output(std::string_view text) {
  // The runtime hands an unbuffered console stream over a byte at a time, which splits every
  // character beyond ASCII; the handle is given the whole line at once instead.
  fflush(stdout);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  while (!text.empty()) {
    DWORD piece = text.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(text.size());
    DWORD written = 0;
    if (!WriteFile(out, text.data(), piece, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

void restore_console() {
  const UINT previous = users_code_page.exchange(0);
  if (previous != 0) SetConsoleOutputCP(previous);
}
