// The list file: one download per line, fields separated by tabs, spaces, CRs or LFs.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

/// Reads every line of the file at `path` onto the request queue, in file order. Ends the run
/// with "ERROR: Can't open file %s" when the file cannot be opened.
void read_list_file(const std::string& path);

/// Reads every line of an open list onto the request queue, in order, until its end or a read
/// error.
void read_list_stream(FILE* file);

/// Turns one line into a record on the request queue, when it has at least three fields:
/// sha1, size, then url and an optional sha256 (in either order when the sha256 is hex and the
/// url begins with "http://" or "https://"). Fields past the fourth are ignored.
void parse_list_line(std::string_view line);
