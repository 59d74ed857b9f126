// The terminal on POSIX systems: isatty and the window size of standard error.
#include "platform/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

bool stderr_is_terminal() {
  return isatty(STDERR_FILENO) == 1;
}

int terminal_columns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}
