// The environment of POSIX systems: files, directories and time through the system's calls.
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
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
      if (written <= 0)
        return Status::system_error("cannot write the file", written < 0 ? errno : ENOSPC);
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

class PosixFileLock final : public FileLock {
 public:
  explicit PosixFileLock(UniqueFd fd) : fd_(std::move(fd)) {}

 private:
  UniqueFd fd_;  // the lock goes with the descriptor
};

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

class PosixEnv final : public Env {
 public:
  int64_t now() override { return clock_.now(); }
  void sleep_one_second() override { clock_.sleep_one_second(); }
  int64_t monotonic_milliseconds() override { return ::monotonic_milliseconds(); }
  int64_t wall_milliseconds() override {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
  }

  FilePtr open_file(const std::string& path, const char* mode) override {
    return ::open_file(path, mode);
  }
  bool is_directory(const std::string& path) override { return ::is_directory(path); }
  bool same_file(const std::string& a, const std::string& b) override { return ::same_file(a, b); }

  Status make_directory(const std::string& path) override {
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return Status();
    return Status::system_error("cannot create " + path, errno);
  }

  Status new_temporary_file(const std::string& directory, std::string* path,
                            std::unique_ptr<WritableFile>* file,
                            OnInterrupt on_interrupt) override {
    std::string pattern = directory + "/.quonfetch-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // No interrupt may fall between the file's creation and its naming for removal.
    std::optional<InterruptsDeferred> deferred;
    if (on_interrupt == OnInterrupt::Remove) deferred.emplace();
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return Status::system_error("cannot create a temporary file", errno);
    *path = name.data();
    // Past the handler's last slot the file is simply not registered.
    if (on_interrupt == OnInterrupt::Remove) remove_on_interrupt(path->c_str());
    fchmod(fd, new_file_mode());  // a failure leaves the file private, which is still safe
    *file = std::make_unique<PosixWritableFile>(fd);
    return Status();
  }

  void forget_temporary_file(const std::string& path) override {
    forget_on_interrupt(path.c_str());
  }

  Status open_appendable_file(const std::string& path, std::unique_ptr<WritableFile>* file,
                              uint64_t* size) override {
    // Without waiting: a pipe of that name would otherwise hold the open until a reader came.
    UniqueFd opened(open(
        path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666));
    if (!opened.valid()) return Status::system_error("cannot open " + path, errno);
    struct stat info;
    if (fstat(opened.get(), &info) != 0) return Status::system_error("cannot read " + path, errno);
    if (!S_ISREG(info.st_mode)) return Status::system_error("cannot write " + path, EISDIR);
    *size = static_cast<uint64_t>(info.st_size);
    *file = std::make_unique<PosixWritableFile>(opened.release());
    return Status();
  }

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

  Status open_for_reading(const std::string& path, UniqueFd* fd, uint64_t* size) override {
    UniqueFd opened(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!opened.valid()) return Status::system_error("cannot open " + path, errno);
    struct stat info;
    if (fstat(opened.get(), &info) != 0) return Status::system_error("cannot read " + path, errno);
    if (!S_ISREG(info.st_mode)) return Status::system_error("cannot read " + path, EISDIR);
    *size = static_cast<uint64_t>(info.st_size);
    *fd = std::move(opened);
    return Status();
  }

  Status file_info(const std::string& path, FileInfo* info) override {
    struct stat found;
    if (stat(path.c_str(), &found) != 0) return Status::system_error("cannot read " + path, errno);
    info->regular = S_ISREG(found.st_mode);
    info->size = static_cast<uint64_t>(found.st_size);
    info->id = static_cast<uint64_t>(found.st_ino);
    return Status();
  }

  Status list_directory(const std::string& path, std::vector<std::string>* names) override {
    names->clear();
    std::unique_ptr<DIR, DirCloser> dir(opendir(path.c_str()));
    if (!dir) return Status::system_error("cannot list " + path, errno);
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(dir.get());
      if (!entry) break;
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names->emplace_back(name);
    }
    if (errno != 0) return Status::system_error("cannot list " + path, errno);
    return Status();
  }

  Status link_file(const std::string& from, const std::string& to) override {
    if (link(from.c_str(), to.c_str()) != 0)
      return Status::system_error("cannot link " + to, errno);
    return Status();
  }

  Status lock_file(const std::string& path, std::unique_ptr<FileLock>* lock,
                   bool* held_elsewhere) override {
    *held_elsewhere = false;
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid()) return Status::system_error("cannot create " + path, errno);
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      *held_elsewhere = errno == EWOULDBLOCK;
      return Status::system_error("cannot lock " + path, errno);
    }
    *lock = std::make_unique<PosixFileLock>(std::move(fd));
    return Status();
  }

  Status check_writable_directory(const std::string& path) override {
    if (access(path.c_str(), W_OK) != 0)
      return Status::system_error("cannot write in " + path, errno);
    struct statvfs volume;
    if (statvfs(path.c_str(), &volume) != 0)
      return Status::system_error("cannot write in " + path, errno);
    if (volume.f_flag & ST_RDONLY) return Status::system_error("cannot write in " + path, EROFS);
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
