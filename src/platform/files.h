// Files opened by path, with an owner that closes them.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

/// Opens the file at `path` (UTF-8) with fopen's `mode`; null when it cannot be opened.
FilePtr open_file(const std::string& path, const char* mode);

/// True when `path` names a directory.
bool is_directory(const std::string& path);

/// True when both paths name one existing file on disk, however each is spelled (the same
/// device and inode, or on Windows the same volume and file ID).
bool same_file(const std::string& a, const std::string& b);
