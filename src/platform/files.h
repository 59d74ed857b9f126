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
