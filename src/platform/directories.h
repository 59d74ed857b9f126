// Directories and paths: the calls that differ between platforms.
#pragma once

#include <string>

/// Joins a directory and a file name with the platform's separator.
std::string join_path(const std::string& directory, const std::string& name);

/// The directory part of `path`: "." when it has none, the root when the file is in the root.
std::string directory_of(const std::string& path);
