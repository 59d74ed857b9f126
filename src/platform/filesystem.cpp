// Directories and paths: the only file-system calls that differ between platforms.
#include "platform/filesystem.h"

#include <cerrno>

#include <sys/stat.h>

int make_directory(const std::string& path) {
  if (mkdir(path.c_str(), 0777) == 0) return 0;
  // An existing entry of that name is accepted, even when it is not a directory: opening a file
  // inside it fails later with its own message.
  return errno == EEXIST ? 0 : errno;
}

std::string join_path(const std::string& directory, const std::string& name) {
  return directory + "/" + name;
}
