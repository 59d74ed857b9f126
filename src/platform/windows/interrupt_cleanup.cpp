// Removes the downloads in progress when the program is interrupted (Ctrl-C, Ctrl-Break, the
// console window closed), so that a stopped run leaves no temporary file behind.
#include <array>
#include <string>
#include <utility>

#include <windows.h>

#include "platform/console.h"
#include "platform/interrupt_cleanup.h"
#include "platform/windows/interrupts_deferred.h"
#include "platform/windows/wide_text.h"

namespace {

// One registered file: its path (empty when the slot is free) and its open handle, if any.
struct PendingFile {
  std::wstring path;
  HANDLE handle = nullptr;
};

// The handler runs on a thread that Windows starts for it, so the table is guarded by the lock;
// a normal thread may take it and may free memory, unlike a POSIX signal handler.
std::array<PendingFile, kMaxFilesRemovedOnInterrupt>& pending_files() {
  static std::array<PendingFile, kMaxFilesRemovedOnInterrupt> files;  // interrupt_cleanup_lock()
  return files;
}

// The slot holding `path`, or null. Call with the lock held.
PendingFile* slot_of(const std::wstring& path) {
  for (PendingFile& file : pending_files())
    if (!file.path.empty() && file.path == path) return &file;
  return nullptr;
}

PendingFile* free_slot() {
  for (PendingFile& file : pending_files())
    if (file.path.empty()) return &file;
  return nullptr;
}

BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  std::lock_guard<std::recursive_mutex> lock(interrupt_cleanup_lock());
  for (PendingFile& file : pending_files()) {
    // Closed first, so that the file goes at once rather than with the process's last handle.
    if (file.handle) CloseHandle(file.handle);
    if (!file.path.empty()) DeleteFileW(file.path.c_str());
  }
  restore_console();  // the process ends without running atexit
  // Ends the process at once, with the status Windows gives a program stopped by Ctrl-C, and
  // while the lock is held, so that no new temporary file is named meanwhile. Exiting normally
  // would run destructors on this thread while the main thread is still mid-transfer.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

}  // namespace

std::recursive_mutex& interrupt_cleanup_lock() {
  static std::recursive_mutex lock;
  return lock;
}

void install_interrupt_cleanup() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool remove_on_interrupt(const char* path) {
  std::wstring wide = wide_path(path);
  if (wide.empty()) return false;
  InterruptsDeferred deferred;
  if (slot_of(wide)) return true;
  PendingFile* slot = free_slot();
  if (!slot) return false;
  slot->path = std::move(wide);
  slot->handle = nullptr;
  return true;
}

void forget_on_interrupt(const char* path) {
  const std::wstring wide = wide_path(path);
  InterruptsDeferred deferred;
  if (PendingFile* slot = slot_of(wide)) {
    slot->path.clear();
    slot->handle = nullptr;
  }
}

void close_on_interrupt(const char* path, void* file) {
  const std::wstring wide = wide_path(path);
  InterruptsDeferred deferred;
  if (PendingFile* slot = slot_of(wide)) slot->handle = file;
}
