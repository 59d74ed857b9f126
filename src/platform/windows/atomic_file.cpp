// A file that appears under its name only once it has been written whole: Windows calls.
#include <atomic>
#include <string>
#include <utility>

#include <windows.h>

#include "platform/atomic_file.h"
#include "platform/interrupt_cleanup.h"
#include "platform/windows/interrupts_deferred.h"
#include "platform/windows/wide_text.h"

namespace {

std::string directory_of(const std::string& path) {
  size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos) return ".";
  if (separator == 0) return path.substr(0, 1);
  return path.substr(0, separator);
}

HANDLE as_handle(long long handle) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}

// A name no other run is using now: the process id, a counter and the tick count, tried until
// one is free.
std::string candidate_name(const std::string& directory) {
  static std::atomic<unsigned> counter{0};
  char suffix[64];
  snprintf(suffix, sizeof suffix, ".quonfetch-%lx-%x-%llx", GetCurrentProcessId(), counter++,
           static_cast<unsigned long long>(GetTickCount64()));
  return directory + "\\" + suffix;
}

}  // namespace

AtomicFile::AtomicFile(std::string target_path) : target_path_(std::move(target_path)) {
  const std::string directory = directory_of(target_path_);
  // No interrupt may fall between the file's creation and its naming for removal.
  InterruptsDeferred deferred;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = candidate_name(directory);
    // Shared for deletion, so that the interrupt handler can remove it while it is open.
    HANDLE file = CreateFileW(wide_path(name).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      handle_ = static_cast<long long>(reinterpret_cast<intptr_t>(file));
      temporary_path_ = name;
      remove_on_interrupt(temporary_path_.c_str());
      close_on_interrupt(file);
      return;
    }
    fail("cannot create a temporary file", static_cast<int>(GetLastError()));
    if (error_number_ != ERROR_FILE_EXISTS) return;
  }
}

void AtomicFile::fail(const char* step, int error_number) {
  error_number_ = error_number;
  error_text_ = std::string(step) + ": " + windows_error_text(static_cast<DWORD>(error_number));
}

AtomicFile::~AtomicFile() {
  if (!committed_) discard();
}

void AtomicFile::discard() {
  if (handle_ >= 0) {
    InterruptsDeferred deferred;  // so that the handler never closes it a second time
    close_on_interrupt(nullptr);
    CloseHandle(as_handle(handle_));
  }
  handle_ = -1;
  if (temporary_path_.empty()) return;
  DeleteFileW(wide_path(temporary_path_).c_str());
  remove_on_interrupt(nullptr);
  temporary_path_.clear();
}

bool AtomicFile::write(const void* data, size_t length) {
  if (handle_ < 0) return false;
  const char* at = static_cast<const char*>(data);
  while (length > 0) {
    DWORD piece = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(as_handle(handle_), at, piece, &written, nullptr) || written == 0) {
      fail("cannot write the file", written == 0 && GetLastError() == ERROR_SUCCESS
                                        ? static_cast<int>(ERROR_DISK_FULL)
                                        : static_cast<int>(GetLastError()));
      return false;
    }
    at += written;
    length -= written;
  }
  return true;
}

bool AtomicFile::commit(std::string* err, bool durable) {
  if (handle_ < 0) return false;
  HANDLE file = as_handle(handle_);
  const char* failed_step = nullptr;
  DWORD failure = ERROR_SUCCESS;
  if (durable && !FlushFileBuffers(file)) {
    failed_step = "cannot write the file to disk";
    failure = GetLastError();
  }
  handle_ = -1;
  {
    InterruptsDeferred deferred;  // so that the handler never closes it a second time
    close_on_interrupt(nullptr);
    if (!CloseHandle(file) && !failed_step) {
      failed_step = "cannot close the file";
      failure = GetLastError();
    }
  }
  // With write-through the move itself has reached the disk when it returns.
  DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
  if (!failed_step && !MoveFileExW(wide_path(temporary_path_).c_str(),
                                   wide_path(target_path_).c_str(), flags)) {
    failed_step = "cannot rename the file";
    failure = GetLastError();
  }
  if (failed_step) {
    fail(failed_step, static_cast<int>(failure));
    if (err) *err = error_text_;
    discard();
    return false;
  }
  committed_ = true;
  remove_on_interrupt(nullptr);
  return true;
}
