// Directories and paths on POSIX systems.
#include <cerrno>
#include <system_error>

#include <sys/stat.h>

#include "platform/directories.h"

bool make_directory(const std::string& path, std::string* err) {
  if (mkdir(path.c_str(), 0777) == 0) return true;
  // An existing entry of that name is accepted, even when it is not a directory: opening a file
  // inside it fails later with its own message.
  if (errno == EEXIST) return true;
  if (err) *err = "cannot create " + path + ": " + std::generic_category().message(errno);
  return false;
}

std::string join_path(const std::string& directory, const std::string& name) {
  return directory + "/" + name;
}

std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}
