// Files opened by path on POSIX systems.
#include <sys/stat.h>

#include "platform/files.h"

FilePtr open_file(const std::string& path, const char* mode) {
  return FilePtr(fopen(path.c_str(), mode));
}

bool is_directory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat first, second;
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}
