// Directories and paths on Windows.
#include <cerrno>
#include <system_error>

#include <direct.h>

#include "platform/directories.h"
#include "platform/windows/wide_text.h"

bool make_directory(const std::string& path, std::string* err) {
  if (_wmkdir(wide_path(path).c_str()) == 0) return true;
  // An existing entry of that name is accepted, even when it is not a directory: opening a file
  // inside it fails later with its own message.
  if (errno == EEXIST) return true;
  if (err) *err = "cannot create " + path + ": " + std::generic_category().message(errno);
  return false;
}

std::string join_path(const std::string& directory, const std::string& name) {
  return directory + "\\" + name;
}

std::string directory_of(const std::string& path) {
  size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos) return ".";
  if (separator == 0) return path.substr(0, 1);
  return path.substr(0, separator);
}
