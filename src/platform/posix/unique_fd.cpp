// Closing a descriptor on POSIX systems.
#include "platform/unique_fd.h"

#include <unistd.h>

void close_descriptor(int fd) {
  ::close(fd);
}
