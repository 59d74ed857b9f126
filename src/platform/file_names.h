// File names and paths as the platform's file system sees them.
#pragma once

#include <string>
#include <string_view>

/// True when `name` is a plain file name here: joined to a folder, it names a file of that folder
/// and nothing else, under exactly this name. Refused everywhere: "", "." and "..", a '/',
/// control characters (0x00-0x1F, 0x7F), and names longer than the file system takes: more than
/// 255 bytes on Linux, more than 255 UTF-16 units on Windows. Windows also refuses any of
/// \ : * ? " < > |, a final dot or space (the system would drop it), a device name (CON, PRN,
/// AUX, NUL, CONIN$, CONOUT$, COM0-COM9, LPT0-LPT9, COM¹-COM³, LPT¹-LPT³) in any case, alone or
/// before an extension or spaces, and text that is not UTF-8.
bool is_plain_file_name(std::string_view name);

/// Orders two paths as the file system tells names apart: byte for byte on Linux, ordinally and
/// without regard to case on Windows. Negative, zero or positive, as strcmp.
int compare_paths(std::string_view a, std::string_view b);

/// Orders paths by compare_paths, for maps keyed by path.
struct PathOrder {
  bool operator()(std::string_view a, std::string_view b) const { return compare_paths(a, b) < 0; }
};

/// `path` as the file system names the file it leads to, for telling stored files apart: on
/// Windows an existing file's short (8.3) spelling is given its long name; otherwise, and on
/// Linux, the path as it is.
std::string file_system_name(const std::string& path);

/// True when writing to `a` would write to the file at `b`: both exist and are one file on disk,
/// or their absolute paths are one name (as compare_paths sees names).
bool same_target(const std::string& a, const std::string& b);

/// The file name that `bytes` of a list line stand for: the bytes themselves, except on Windows
/// where bytes that are not UTF-8 are read in the system's ANSI code page.
std::string file_name_text(std::string_view bytes);

/// False where a double quote can never be part of a path (Windows).
bool paths_may_hold_quotes();
