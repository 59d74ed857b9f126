// File names and paths on POSIX systems: a name is bytes, told apart byte for byte.
#include "platform/file_names.h"

#include <filesystem>
#include <system_error>

#include "platform/files.h"

namespace {

constexpr size_t kMaxNameBytes = 255;

std::string absolute_path(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return path;
  return absolute.lexically_normal().string();
}

}  // namespace

bool is_plain_file_name(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.size() > kMaxNameBytes) return false;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '/') return false;
  }
  return true;
}

int compare_paths(std::string_view a, std::string_view b) {
  return a.compare(b);
}

std::string file_system_name(const std::string& path) {
  return path;
}

bool same_target(const std::string& a, const std::string& b) {
  return same_file(a, b) || compare_paths(absolute_path(a), absolute_path(b)) == 0;
}

std::string file_name_text(std::string_view bytes) {
  return std::string(bytes);
}

bool paths_may_hold_quotes() {
  return true;
}
