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
