// The environment of POSIX systems: files, directories and time through the system's calls.
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/directories.h"
#include "platform/env.h"
#include "platform/interrupt_cleanup.h"
#include "platform/posix/interrupts_deferred.h"

namespace {

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

class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(int fd) : fd_(fd) {}
  ~PosixWritableFile() override { close(); }

  Status append(std::string_view data) override {
    while (!data.empty()) {
      ssize_t written = ::write(fd_, data.data(), data.size());
      if (written < 0 && errno == EINTR) continue;
      // A write that takes nothing and reports nothing is a full disk.
      if (written <= 0) return Status::system_error("cannot write the file", written < 0 ? errno : ENOSPC);
      data.remove_prefix(static_cast<size_t>(written));
    }
    return Status();
  }

  Status sync() override {
    if (fsync(fd_) != 0) return Status::system_error("cannot write the file to disk", errno);
    return Status();
  }

  Status close() override {
    if (fd_ < 0) return Status();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return Status::system_error("cannot close the file", errno);
    return Status();
  }

 private:
  int fd_;
};

class PosixEnv final : public Env {
 public:
  int64_t now() override { return clock_.now(); }
  void sleep_one_second() override { clock_.sleep_one_second(); }
  int64_t monotonic_milliseconds() override { return ::monotonic_milliseconds(); }

  FilePtr open_file(const std::string& path, const char* mode) override {
    return ::open_file(path, mode);
  }
  bool is_directory(const std::string& path) override { return ::is_directory(path); }
  bool same_file(const std::string& a, const std::string& b) override {
    return ::same_file(a, b);
  }

  Status make_directory(const std::string& path) override {
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return Status();
    return Status::system_error("cannot create " + path, errno);
  }

  Status new_temporary_file(const std::string& directory, std::string* path,
                            std::unique_ptr<WritableFile>* file) override {
    std::string pattern = directory + "/.quonfetch-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // No interrupt may fall between the file's creation and its naming for removal.
    InterruptsDeferred deferred;
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return Status::system_error("cannot create a temporary file", errno);
    *path = name.data();
    remove_on_interrupt(path->c_str());
    fchmod(fd, new_file_mode());  // a failure leaves the file private, which is still safe
    *file = std::make_unique<PosixWritableFile>(fd);
    return Status();
  }

  void forget_temporary_file() override { remove_on_interrupt(nullptr); }

  Status rename_file(const std::string& from, const std::string& to) override {
    if (rename(from.c_str(), to.c_str()) != 0)
      return Status::system_error("cannot rename the file", errno);
    return Status();
  }

  Status remove_file(const std::string& path) override {
    if (unlink(path.c_str()) != 0) return Status::system_error("cannot remove " + path, errno);
    return Status();
  }

  Status sync_directory(const std::string& path) override {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Status::system_error("cannot write the directory to disk", errno);
    const bool synced = fsync(fd) == 0;
    const int error_number = errno;
    ::close(fd);
    if (!synced) return Status::system_error("cannot write the directory to disk", error_number);
    return Status();
  }

 private:
  SystemClock clock_;
};

}  // namespace

std::string system_error_text(int error_number) {
  return std::generic_category().message(error_number);
}

Env& system_env() {
  static PosixEnv env;
  return env;
}
