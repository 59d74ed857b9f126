// File names and paths on Windows: what the file system refuses, changes or reads as a device,
// and names told apart without regard to case.
#include "platform/file_names.h"

#include <array>

#include <windows.h>

#include "platform/files.h"
#include "platform/windows/wide_text.h"

namespace {

constexpr int kMaxNameUnits = 255;
// No UTF-8 character takes more than three bytes for one UTF-16 unit.
constexpr size_t kMaxNameBytes = 3 * kMaxNameUnits;

// Devices answer to their name in every folder, also with an extension ("nul.txt").
constexpr std::array<std::string_view, 6> kDevices = {"CON", "PRN",    "AUX",
                                                      "NUL", "CONIN$", "CONOUT$"};
// COM and LPT are followed by a digit, or by superscript one, two or three (UTF-8).
constexpr std::array<std::string_view, 3> kSuperscripts = {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};

std::string upper_ascii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

bool is_device_name(std::string_view name) {
  // The part before the first dot, with the spaces before that dot dropped, is what counts.
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  const std::string upper = upper_ascii(stem);
  for (std::string_view device : kDevices)
    if (upper == device) return true;
  if (upper.size() < 4 || !(upper.starts_with("COM") || upper.starts_with("LPT"))) return false;
  std::string_view number = std::string_view(upper).substr(3);
  if (number.size() == 1 && number[0] >= '0' && number[0] <= '9') return true;
  for (std::string_view superscript : kSuperscripts)
    if (number == superscript) return true;
  return false;
}

// The UTF-16 units of `text`; -1 when it is not UTF-8.
int utf16_units(std::string_view text) {
  if (text.empty()) return 0;
  int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                  static_cast<int>(text.size()), nullptr, 0);
  return units > 0 ? units : -1;
}

std::wstring full_path(const std::string& path) {
  std::wstring wide = wide_from_utf8(path);
  DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length == 0) return wide;
  std::wstring full(length, L'\0');
  length = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
  if (length == 0 || length >= full.size()) return wide;
  full.resize(length);
  return full;
}

int compare_wide(const std::wstring& a, const std::wstring& b) {
  int order = CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                   static_cast<int>(b.size()), TRUE);
  if (order == 0) return a.compare(b);  // not expected: the arguments are always valid
  return order - CSTR_EQUAL;
}

}  // namespace

bool is_plain_file_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.back() == '.' || name.back() == ' ' || name.size() > kMaxNameBytes) return false;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return false;
    if (std::string_view("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
      return false;
  }
  const int units = utf16_units(name);
  if (units < 0 || units > kMaxNameUnits) return false;
  return !is_device_name(name);
}

int compare_paths(std::string_view a, std::string_view b) {
  return compare_wide(wide_from_utf8(std::string(a)), wide_from_utf8(std::string(b)));
}

std::string file_system_name(const std::string& path) {
  // "LONGFI~1.BIN" names the same file as "LongFileName.bin" on a volume that keeps short names.
  const std::wstring wide = wide_from_utf8(path);
  DWORD length = GetLongPathNameW(wide.c_str(), nullptr, 0);
  if (length == 0) return path;
  std::wstring long_name(length, L'\0');
  length = GetLongPathNameW(wide.c_str(), long_name.data(), length);
  if (length == 0 || length >= long_name.size()) return path;
  return utf8_from_wide(long_name.c_str());
}

bool same_target(const std::string& a, const std::string& b) {
  return same_file(a, b) || compare_wide(full_path(a), full_path(b)) == 0;
}

std::string file_name_text(std::string_view bytes) {
  if (utf16_units(bytes) >= 0) return std::string(bytes);
  const int size = static_cast<int>(bytes.size());
  // With UTF-8 as the ANSI code page there is no other reading: the bytes stay as they are, and
  // is_plain_file_name refuses them.
  int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
  if (length <= 0) return std::string(bytes);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), size, wide.data(), length);
  return utf8_from_wide(wide.c_str());
}

bool paths_may_hold_quotes() {
  return false;
}
