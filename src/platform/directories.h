// Directories and paths: the calls that differ between platforms.
#pragma once

#include <string>

/// Creates one directory (not its parents). True when it was created or an entry of that name
/// already exists; otherwise false, with the reason (and the system's error text) in `err`.
bool make_directory(const std::string& path, std::string* err);

/// Joins a directory and a file name with the platform's separator.
std::string join_path(const std::string& directory, const std::string& name);

/// The directory part of `path`: "." when it has none, the root when the file is in the root.
std::string directory_of(const std::string& path);
