// Directories and paths: the only file-system calls that differ between platforms.
#pragma once

#include <string>

/// Creates one directory (not its parents). Returns 0 when it was created or already exists,
/// otherwise the errno of the failure.
int make_directory(const std::string& path);

/// Joins a directory and a file name with the platform's separator.
std::string join_path(const std::string& directory, const std::string& name);
