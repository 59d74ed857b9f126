// Files opened by path on Windows, through the wide calls so that any name works.
#include <windows.h>

#include "platform/files.h"
#include "platform/windows/wide_text.h"

FilePtr open_file(const std::string& path, const char* mode) {
  return FilePtr(_wfopen(wide_from_utf8(path).c_str(), wide_from_utf8(mode).c_str()));
}

bool is_directory(const std::string& path) {
  DWORD attributes = GetFileAttributesW(wide_from_utf8(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
