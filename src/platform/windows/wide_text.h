// UTF-8 and the UTF-16 of Windows' wide calls, for the Windows platform files.
#pragma once

#include <string>

#include <windows.h>

/// `text` (UTF-8) as UTF-16; invalid bytes become U+FFFD.
inline std::wstring wide_from_utf8(const std::string& text) {
  if (text.empty()) return {};
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

/// `path` (UTF-8) as the wide path to hand to a file call. A path whose absolute form is near the
/// classic limit (259 characters for a file, 247 for a folder to be made) is given whole, with
/// the \\?\ prefix that lifts the limit; any other is handed over as it is.
inline std::wstring wide_path(const std::string& path) {
  std::wstring wide = wide_from_utf8(path);
  if (wide.empty() || wide.starts_with(LR"(\\?\)") || wide.starts_with(LR"(\\.\)")) return wide;
  DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length <= MAX_PATH - 12) return wide;  // the length counts the terminating NUL
  std::wstring full(length, L'\0');
  length = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
  if (length == 0 || length >= full.size()) return wide;
  full.resize(length);
  // A device path spelled with '/' is one once made whole: it takes no second prefix.
  if (full.starts_with(LR"(\\?\)") || full.starts_with(LR"(\\.\)")) return full;
  if (full.starts_with(LR"(\\)")) return LR"(\\?\UNC\)" + full.substr(2);  // \\server\share
  return LR"(\\?\)" + full;
}

/// `wide` (UTF-16, NUL-terminated) as UTF-8.
inline std::string utf8_from_wide(const wchar_t* wide) {
  int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), length, nullptr, nullptr);
  text.pop_back();  // the terminating NUL
  return text;
}

/// The system's text for a Windows error code, without its line break.
inline std::string windows_error_text(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0 || !buffer) return "error " + std::to_string(code);
  std::string text = utf8_from_wide(buffer);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}
