// A file that appears under its name only once it has been written whole: POSIX calls.
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/atomic_file.h"
#include "platform/interrupt_cleanup.h"
#include "platform/posix/interrupts_deferred.h"

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

bool sync_directory(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

}  // namespace

AtomicFile::AtomicFile(std::string target_path) : target_path_(std::move(target_path)) {
  std::string pattern = directory_of(target_path_) + "/.quonfetch-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // No interrupt may fall between the file's creation and its naming for removal.
  InterruptsDeferred deferred;
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    fail("cannot create a temporary file", errno);
    return;
  }
  handle_ = fd;
  temporary_path_ = name.data();
  remove_on_interrupt(temporary_path_.c_str());
  fchmod(fd, new_file_mode());  // a failure leaves the file private, which is still safe
}

void AtomicFile::fail(const char* step, int error_number) {
  error_number_ = error_number;
  error_text_ = std::string(step) + ": " + std::generic_category().message(error_number);
}

AtomicFile::~AtomicFile() {
  if (!committed_) discard();
}

void AtomicFile::discard() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
  if (temporary_path_.empty()) return;
  unlink(temporary_path_.c_str());
  remove_on_interrupt(nullptr);
  temporary_path_.clear();
}

bool AtomicFile::write(const void* data, size_t length) {
  if (handle_ < 0) return false;
  const char* at = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t written = ::write(static_cast<int>(handle_), at, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      fail("cannot write the file", written < 0 ? errno : ENOSPC);
      return false;
    }
    at += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

bool AtomicFile::commit(std::string* err, bool durable) {
  if (handle_ < 0) return false;
  const int fd = static_cast<int>(handle_);
  const char* failed_step = nullptr;
  if (durable && fsync(fd) != 0) failed_step = "cannot write the file to disk";
  handle_ = -1;
  if (close(fd) != 0 && !failed_step) failed_step = "cannot close the file";
  if (!failed_step && rename(temporary_path_.c_str(), target_path_.c_str()) != 0)
    failed_step = "cannot rename the file";
  if (failed_step) {
    fail(failed_step, errno);
    if (err) *err = error_text_;
    discard();
    return false;
  }
  committed_ = true;
  remove_on_interrupt(nullptr);
  if (durable && !sync_directory(directory_of(target_path_))) {
    fail("cannot write the directory to disk", errno);
    if (err) *err = error_text_;
    return false;
  }
  return true;
}
