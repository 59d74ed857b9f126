// The environment of Windows: files, directories and time through the wide calls, so that any
// name works, and paths past 260 characters too (wide_path).
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "platform/env.h"
#include "platform/interrupt_cleanup.h"
#include "platform/windows/interrupts_deferred.h"
#include "platform/windows/wide_text.h"

namespace {

Status windows_error(const char* what, DWORD error) {
  return Status::system_error(what, static_cast<int>(error));
}

class WindowsWritableFile final : public WritableFile {
 public:
  /// `registered_path`: when not empty, the path under which the handle is the interrupt
  /// handler's to close (close_on_interrupt()).
  WindowsWritableFile(HANDLE file, std::string registered_path)
      : file_(file), registered_path_(std::move(registered_path)) {}
  ~WindowsWritableFile() override { close(); }

  Status append(std::string_view data) override {
    while (!data.empty()) {
      DWORD piece = data.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(data.size());
      DWORD written = 0;
      if (!WriteFile(file_, data.data(), piece, &written, nullptr) || written == 0) {
        // A write that takes nothing and reports nothing is a full disk.
        DWORD error = GetLastError();
        return windows_error("cannot write the file",
                             written == 0 && error == ERROR_SUCCESS ? ERROR_DISK_FULL : error);
      }
      data.remove_prefix(written);
    }
    return Status();
  }

  Status sync() override {
    if (!FlushFileBuffers(file_))
      return windows_error("cannot write the file to disk", GetLastError());
    return Status();
  }

  Status close() override {
    if (file_ == INVALID_HANDLE_VALUE) return Status();
    HANDLE file = file_;
    file_ = INVALID_HANDLE_VALUE;
    std::optional<InterruptsDeferred> deferred;  // so that the handler never closes it twice
    if (!registered_path_.empty()) {
      deferred.emplace();
      close_on_interrupt(registered_path_.c_str(), nullptr);
    }
    if (!CloseHandle(file)) return windows_error("cannot close the file", GetLastError());
    return Status();
  }

 private:
  HANDLE file_;
  std::string registered_path_;
};

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using HandleOwner = std::unique_ptr<void, HandleCloser>;

struct FindCloser {
  void operator()(HANDLE handle) const { FindClose(handle); }
};
using FindOwner = std::unique_ptr<void, FindCloser>;

// Held while the handle is open: the system drops the lock with the handle.
class WindowsFileLock final : public FileLock {
 public:
  explicit WindowsFileLock(HandleOwner handle) : handle_(std::move(handle)) {}

 private:
  HandleOwner handle_;
};

// A name no other run is using now: the process id, a counter and the tick count, tried until
// one is free.
std::string candidate_name(const std::string& directory) {
  static std::atomic<unsigned> counter{0};
  char suffix[64];
  snprintf(suffix, sizeof suffix, ".quonfetch-%lx-%x-%llx", GetCurrentProcessId(), counter++,
           static_cast<unsigned long long>(GetTickCount64()));
  return directory + "\\" + suffix;
}

class WindowsEnv final : public Env {
 public:
  int64_t now() override { return clock_.now(); }
  void sleep_one_second() override { clock_.sleep_one_second(); }
  int64_t monotonic_milliseconds() override { return ::monotonic_milliseconds(); }
  int64_t wall_milliseconds() override {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    // 100 ns steps since 1601-01-01; 11644473600 s lie between then and 1970.
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10'000) - 11'644'473'600'000LL;
  }

  FilePtr open_file(const std::string& path, const char* mode) override {
    return ::open_file(path, mode);
  }
  bool is_directory(const std::string& path) override { return ::is_directory(path); }
  bool same_file(const std::string& a, const std::string& b) override { return ::same_file(a, b); }

  Status make_directory(const std::string& path) override {
    // The runtime's call, whose errno says "it exists" for a folder and for a file alike.
    if (_wmkdir(wide_path(path).c_str()) == 0 || errno == EEXIST) return Status();
    return Status::failure(Status::Code::SystemError,
                           "cannot create " + path + ": " + std::generic_category().message(errno),
                           errno);
  }

  Status new_temporary_file(const std::string& directory, std::string* path,
                            std::unique_ptr<WritableFile>* file,
                            OnInterrupt on_interrupt) override {
    const bool wanted = on_interrupt == OnInterrupt::Remove;
    // No interrupt may fall between the file's creation and its naming for removal.
    std::optional<InterruptsDeferred> deferred;
    if (wanted) deferred.emplace();
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
      std::string name = candidate_name(directory);
      // Shared for deletion, so that the interrupt handler can remove it while it is open.
      HANDLE handle =
          CreateFileW(wide_path(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle != INVALID_HANDLE_VALUE) {
        *path = name;
        // Past the handler's last slot the file is not registered, nor is its handle.
        const bool registered = wanted && remove_on_interrupt(path->c_str());
        if (registered) close_on_interrupt(path->c_str(), handle);
        *file = std::make_unique<WindowsWritableFile>(handle, registered ? name : std::string());
        return Status();
      }
      error = GetLastError();
    }
    return windows_error("cannot create a temporary file", error);
  }

  void forget_temporary_file(const std::string& path) override {
    forget_on_interrupt(path.c_str());
  }

  Status open_appendable_file(const std::string& path, std::unique_ptr<WritableFile>* file,
                              uint64_t* size) override {
    HandleOwner handle(CreateFileW(wide_path(path).c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE) {
      handle.release();
      return windows_error("cannot open the file", GetLastError());
    }
    // A device name opens a device, not a file.
    if (GetFileType(handle.get()) != FILE_TYPE_DISK)
      return windows_error("cannot write the file", ERROR_INVALID_NAME);
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(handle.get(), LARGE_INTEGER{}, &end, FILE_END))
      return windows_error("cannot read the file", GetLastError());
    *size = static_cast<uint64_t>(end.QuadPart);
    *file = std::make_unique<WindowsWritableFile>(handle.release(), std::string());
    return Status();
  }

  Status rename_file(const std::string& from, const std::string& to) override {
    // With write-through the move itself has reached the disk when it returns.
    if (!MoveFileExW(wide_path(from).c_str(), wide_path(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return windows_error("cannot rename the file", GetLastError());
    return Status();
  }

  Status remove_file(const std::string& path) override {
    if (!DeleteFileW(wide_path(path).c_str()))
      return windows_error("cannot remove the file", GetLastError());
    return Status();
  }

  // A folder cannot be flushed on Windows; the write-through move stands for it.
  Status sync_directory(const std::string&) override { return Status(); }

  Status open_for_reading(const std::string& path, UniqueFd* fd, uint64_t* size) override {
    UniqueFd opened(_wopen(wide_path(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT));
    if (!opened.valid()) return Status::system_error("cannot open " + path, errno);
    struct _stat64 info;
    if (_fstat64(opened.get(), &info) != 0)
      return Status::system_error("cannot read " + path, errno);
    if ((info.st_mode & _S_IFMT) != _S_IFREG)
      return Status::system_error("cannot read " + path, EISDIR);
    *size = static_cast<uint64_t>(info.st_size);
    *fd = std::move(opened);
    return Status();
  }

  Status file_info(const std::string& path, FileInfo* info) override {
    // Opened for no access at all, which asks nothing of the file's sharing and works on folders.
    HandleOwner handle(CreateFileW(wide_path(path).c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE) {
      handle.release();
      return windows_error("cannot read the file", GetLastError());
    }
    BY_HANDLE_FILE_INFORMATION found;
    if (!GetFileInformationByHandle(handle.get(), &found))
      return windows_error("cannot read the file", GetLastError());
    info->regular = !(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
    info->size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    info->id = (static_cast<uint64_t>(found.nFileIndexHigh) << 32) | found.nFileIndexLow;
    return Status();
  }

  Status list_directory(const std::string& path, std::vector<std::string>* names) override {
    names->clear();
    WIN32_FIND_DATAW found;
    HANDLE first = FindFirstFileW(wide_path(path + "\\*").c_str(), &found);
    if (first == INVALID_HANDLE_VALUE)
      return windows_error("cannot list the folder", GetLastError());
    FindOwner search(first);
    do {
      const std::string name = utf8_from_wide(found.cFileName);
      if (name != "." && name != "..") names->push_back(name);
    } while (FindNextFileW(first, &found));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) return windows_error("cannot list the folder", error);
    return Status();
  }

  Status link_file(const std::string& from, const std::string& to) override {
    if (!CreateHardLinkW(wide_path(to).c_str(), wide_path(from).c_str(), nullptr))
      return windows_error("cannot link the file", GetLastError());
    return Status();
  }

  Status lock_file(const std::string& path, std::unique_ptr<FileLock>* lock,
                   bool* held_elsewhere) override {
    *held_elsewhere = false;
    HandleOwner handle(CreateFileW(wide_path(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE) {
      handle.release();
      return windows_error("cannot create the lock file", GetLastError());
    }
    OVERLAPPED whole{};
    if (!LockFileEx(handle.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &whole)) {
      const DWORD error = GetLastError();
      *held_elsewhere = error == ERROR_LOCK_VIOLATION;
      return windows_error("cannot lock the file", error);
    }
    *lock = std::make_unique<WindowsFileLock>(std::move(handle));
    return Status();
  }

  // Only the relay asks, and the relay is not built for Windows.
  Status check_writable_directory(const std::string& path) override {
    return Status::failure(Status::Code::Refused, "cannot check " + path + ": not supported");
  }

 private:
  SystemClock clock_;
};

}  // namespace

std::string system_error_text(int error_number) {
  return windows_error_text(static_cast<DWORD>(error_number));
}

Env& system_env() {
  static WindowsEnv env;
  return env;
}
