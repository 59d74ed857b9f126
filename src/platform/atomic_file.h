// A file that appears under its name only once it has been written whole.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

/// Writes go to a temporary file in the target's directory; commit() moves it onto the target.
/// Without a successful commit the temporary file is removed and the target stays untouched.
class AtomicFile {
 public:
  explicit AtomicFile(std::string target_path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  /// True when the temporary file was created and can take writes.
  bool is_open() const { return file_ != nullptr; }
  FILE* file() const { return file_.get(); }
  const std::string& temporary_path() const { return temporary_path_; }

  /// Closes the temporary file (checking that every byte reached it) and renames it onto the
  /// target. Returns false, and removes the temporary file, when either step fails.
  bool commit();

 private:
  std::string target_path_;
  std::string temporary_path_;
  FilePtr file_;
  bool committed_ = false;
};
