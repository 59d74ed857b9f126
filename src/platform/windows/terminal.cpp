// The terminal on Windows: the console behind the standard error handle, and its window width.
#include "platform/terminal.h"

#include <windows.h>

bool stderr_is_terminal() {
  DWORD mode = 0;
  // Only a console handle has a console mode; a file, a pipe or a missing handle has none.
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int terminal_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}
