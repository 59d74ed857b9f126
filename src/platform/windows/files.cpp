// Files opened by path on Windows, through the wide calls so that any name works.
#include <memory>

#include <windows.h>

#include "platform/files.h"
#include "platform/windows/wide_text.h"

FilePtr open_file(const std::string& path, const char* mode) {
  return FilePtr(_wfopen(wide_path(path).c_str(), wide_from_utf8(mode).c_str()));
}

bool is_directory(const std::string& path) {
  DWORD attributes = GetFileAttributesW(wide_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using HandleOwner = std::unique_ptr<void, HandleCloser>;

// Opened for no access at all, which asks nothing of the file's sharing and works on folders.
bool file_identity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE handle = CreateFileW(wide_path(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  HandleOwner owner(handle);
  return GetFileInformationByHandle(handle, info) != 0;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION first, second;
  if (!file_identity(a, &first) || !file_identity(b, &second)) return false;
  return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}
