// The requests of a run: the list file, one download per line, or the single download of the
// command line.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "client/records/run_state.h"

/// Makes a record of the given texts and appends it to the request queue. A Fatal status, after
/// "Out of memory" or "Out of memory while growing queue", when memory runs out.
Status queue_request(RunState& state, std::optional<std::string_view> sha1,
                     std::optional<std::string_view> size, std::optional<std::string_view> url,
                     std::optional<std::string_view> sha256);

/// Fills the request queue: from the list file when the settings name one, otherwise with the
/// single download of the command line. A Fatal status when the run cannot go on.
Status read_requests(RunState& state);

/// Reads every line of the file at `path` onto the request queue, in file order. A Fatal status,
/// after "ERROR: Can't open file %s", when the file cannot be opened.
Status read_list_file(RunState& state, const std::string& path);

/// Reads every line of an open list onto the request queue, in order, until its end or a read
/// error.
Status read_list_stream(RunState& state, FILE* file);

/// Turns one line into a record on the request queue, when it has at least three fields:
/// sha1, size, then url and an optional sha256 (in either order when the sha256 is hex and the
/// url begins with "http://" or "https://"). Fields past the fourth are ignored.
Status parse_list_line(RunState& state, std::string_view line);
