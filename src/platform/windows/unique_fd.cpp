// Closing a descriptor of the C runtime on Windows.
#include "platform/unique_fd.h"

#include <io.h>

void close_descriptor(int fd) {
  _close(fd);
}
