// A file that appears under its name only once it has been written whole.
#include "platform/atomic_file.h"

#include <cstdlib>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Files made by mkstemp are private (0600); the result should get the usual permissions of a
// new file under the process's umask, as if it had been made by fopen.
mode_t new_file_mode() {
  static const mode_t mode = [] {
    mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

}  // namespace

AtomicFile::AtomicFile(std::string target_path) : target_path_(std::move(target_path)) {
  std::string pattern = directory_of(target_path_) + "/.quonfetch-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return;
  temporary_path_ = name.data();
  fchmod(fd, new_file_mode());  // a failure leaves the file private, which is still safe
  file_.reset(fdopen(fd, "wb"));
  if (!file_) {
    close(fd);
    unlink(temporary_path_.c_str());
    temporary_path_.clear();
  }
}

AtomicFile::~AtomicFile() {
  if (committed_ || temporary_path_.empty()) return;
  file_.reset();
  unlink(temporary_path_.c_str());
}

bool AtomicFile::commit() {
  if (!file_) return false;
  bool flushed = fflush(file_.get()) == 0 && !ferror(file_.get());
  bool closed = fclose(file_.release()) == 0;
  if (!flushed || !closed) return false;
  if (rename(temporary_path_.c_str(), target_path_.c_str()) != 0) return false;
  committed_ = true;
  return true;
}
