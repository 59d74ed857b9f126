// Removes the download in progress when the program is interrupted (Ctrl-C, Ctrl-Break, the
// console window closed), so that a stopped run leaves no temporary file behind.
#include <string>

#include <windows.h>

#include "platform/console.h"
#include "platform/interrupt_cleanup.h"
#include "platform/windows/interrupts_deferred.h"
#include "platform/windows/wide_text.h"

namespace {

// The handler runs on a thread that Windows starts for it, so these are guarded by the lock.
std::wstring& pending_path() {
  static std::wstring path;  // protected by interrupt_cleanup_lock()
  return path;
}
HANDLE pending_handle = nullptr;  // protected by interrupt_cleanup_lock()

BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  std::lock_guard<std::recursive_mutex> lock(interrupt_cleanup_lock());
  // Closed first, so that the file goes at once rather than with the process's last handle.
  if (pending_handle) CloseHandle(pending_handle);
  if (!pending_path().empty()) DeleteFileW(pending_path().c_str());
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

void remove_on_interrupt(const char* path) {
  InterruptsDeferred deferred;
  pending_path() = path ? wide_path(path) : std::wstring();
  if (!path) pending_handle = nullptr;
}

void close_on_interrupt(void* file) {
  InterruptsDeferred deferred;
  pending_handle = file;
}
