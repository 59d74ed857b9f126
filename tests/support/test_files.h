// Test helpers for files: a temporary directory per test, reading and writing whole files. Names
// are UTF-8 on every platform.
#pragma once

#include <string>
#include <vector>

/// A directory of its own for one test, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  /// Names of the entries in `subdir` (relative to this directory), sorted.
  std::vector<std::string> entries(const std::string& subdir = "") const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
/// How many times `piece` occurs in `text`.
size_t count_of(const std::string& text, const std::string& piece);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
/// Creates one directory; false when it could not.
bool create_directory(const std::string& path);

/// `path` written with '/' as this build's platform writes it: with '\' on Windows. The one place
/// where the tests of the platform layer state that difference.
std::string native_path(std::string path);
