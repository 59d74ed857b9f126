// The environment of Windows: files, directories and time through the wide calls, so that any
// name works, and paths past 260 characters too (wide_path).
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include <direct.h>
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
  explicit WindowsWritableFile(HANDLE file) : file_(file) {}
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
    if (!FlushFileBuffers(file_)) return windows_error("cannot write the file to disk", GetLastError());
    return Status();
  }

  Status close() override {
    if (file_ == INVALID_HANDLE_VALUE) return Status();
    HANDLE file = file_;
    file_ = INVALID_HANDLE_VALUE;
    InterruptsDeferred deferred;  // so that the handler never closes it a second time
    close_on_interrupt(nullptr);
    if (!CloseHandle(file)) return windows_error("cannot close the file", GetLastError());
    return Status();
  }

 private:
  HANDLE file_;
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

  FilePtr open_file(const std::string& path, const char* mode) override {
    return ::open_file(path, mode);
  }
  bool is_directory(const std::string& path) override { return ::is_directory(path); }
  bool same_file(const std::string& a, const std::string& b) override {
    return ::same_file(a, b);
  }

  Status make_directory(const std::string& path) override {
    // The runtime's call, whose errno says "it exists" for a folder and for a file alike.
    if (_wmkdir(wide_path(path).c_str()) == 0 || errno == EEXIST) return Status();
    return Status::failure(Status::Code::SystemError,
                           "cannot create " + path + ": " + std::generic_category().message(errno),
                           errno);
  }

  Status new_temporary_file(const std::string& directory, std::string* path,
                            std::unique_ptr<WritableFile>* file) override {
    // No interrupt may fall between the file's creation and its naming for removal.
    InterruptsDeferred deferred;
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
      std::string name = candidate_name(directory);
      // Shared for deletion, so that the interrupt handler can remove it while it is open.
      HANDLE handle = CreateFileW(wide_path(name).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle != INVALID_HANDLE_VALUE) {
        *path = name;
        remove_on_interrupt(path->c_str());
        close_on_interrupt(handle);
        *file = std::make_unique<WindowsWritableFile>(handle);
        return Status();
      }
      error = GetLastError();
    }
    return windows_error("cannot create a temporary file", error);
  }

  void forget_temporary_file() override { remove_on_interrupt(nullptr); }

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
