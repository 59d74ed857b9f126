// Directories and paths on Windows.
#include "platform/directories.h"

std::string join_path(const std::string& directory, const std::string& name) {
  return directory + "\\" + name;
}

std::string directory_of(const std::string& path) {
  size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos) return ".";
  if (separator == 0) return path.substr(0, 1);
  return path.substr(0, separator);
}
