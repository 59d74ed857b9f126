// Test helpers for files, portable between the Linux and the Windows build of the tests.
#include "support/test_files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

// Paths are UTF-8 texts; the narrow form of a path is the ANSI code page on Windows.
fs::path from_utf8(const std::string& path) {
  return fs::path(std::u8string(path.begin(), path.end()));
}

std::string to_utf8(const fs::path& path) {
  std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

TempDir::TempDir() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("quonfetch-test-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = to_utf8(candidate.generic_u8string());
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ignored;  // a directory that cannot be removed must not fail the test
  fs::permissions(from_utf8(path_), fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(from_utf8(path_), ignored);
}

std::vector<std::string> TempDir::entries(const std::string& subdir) const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(from_utf8(subdir.empty() ? path_ : file(subdir))))
    names.push_back(to_utf8(entry.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::string& path) {
  std::ifstream in(from_utf8(path), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(from_utf8(path), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool file_exists(const std::string& path) {
  return fs::exists(fs::symlink_status(from_utf8(path)));
}

bool create_directory(const std::string& path) {
  std::error_code error;
  return fs::create_directory(from_utf8(path), error);
}

std::string native_path(std::string path) {
#ifdef _WIN32
  std::replace(path.begin(), path.end(), '/', '\\');
#endif
  return path;
}

size_t count_of(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}
