// Directories and paths on POSIX systems.
#include "platform/directories.h"

std::string join_path(const std::string& directory, const std::string& name) {
  return directory + "/" + name;
}

std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}
