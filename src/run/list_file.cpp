// The requests of a run: the list file, one download per line, or the single download of the
// command line.
#include "run/list_file.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>

#include "output/log.h"
#include "platform/files.h"

namespace {

bool is_separator(char c) { return c == '\t' || c == ' ' || c == '\r' || c == '\n'; }

bool all_hex(std::string_view text) {
  for (unsigned char c : text)
    if (!std::isxdigit(c)) return false;
  return true;
}

bool has_http_scheme(std::string_view text) {
  return text.starts_with("http://") || text.starts_with("https://");
}

}  // namespace

void queue_request(RunState& state, std::optional<std::string_view> sha1,
                   std::optional<std::string_view> size, std::optional<std::string_view> url,
                   std::optional<std::string_view> sha256) {
  Download* download = new_download(state.download_records, sha1, size, url, sha256);
  if (!download) fatal_error(state.settings, "Out of memory");
  if (!queue_push(state.request_queue, download))
    fatal_error(state.settings, "Out of memory while growing queue");
}

void parse_list_line(RunState& state, std::string_view line) {
  std::string_view fields[4];
  int count = 0;
  size_t at = 0;
  while (count < 4) {
    while (at < line.size() && is_separator(line[at])) ++at;
    if (at == line.size()) break;
    size_t end = at;
    while (end < line.size() && !is_separator(line[end])) ++end;
    fields[count++] = line.substr(at, end - at);
    at = end;
  }
  if (count < 3) return;

  std::string_view url = fields[2];
  std::optional<std::string_view> sha256;
  if (count == 4) {
    sha256 = fields[3];
    if (all_hex(fields[2]) && has_http_scheme(fields[3])) std::swap(url, *sha256);
  }
  queue_request(state, fields[0], fields[1], url, sha256);
}

void read_requests(RunState& state) {
  const Settings& settings = state.settings;
  if (settings.list_path)
    read_list_file(state, *settings.list_path);
  else
    queue_request(state, settings.sha1, settings.size, settings.url, settings.sha256);
}

void read_list_file(RunState& state, const std::string& path) {
  // A folder is no list, though some systems let fopen open one.
  FilePtr file = is_directory(path) ? nullptr : open_file(path, "rb");
  if (!file) fatal_error(state.settings, "ERROR: Can't open file %s", path.c_str());
  read_list_stream(state, file.get());
}

void read_list_stream(RunState& state, FILE* file) {
  // A line ends at LF or at CR, whatever its length (D2); a NUL ends the line's text, and the bytes
  // after it up to the line end are dropped.
  std::string line;
  bool line_cut = false;
  char block[65536];
  size_t got;
  bool first_block = true;
  while ((got = fread(block, 1, sizeof block, file)) > 0) {
    size_t start = 0;
    // Editors on Windows begin UTF-8 text with a byte-order mark; it is no part of the first
    // field. One anywhere else stays part of the text (D16).
    if (first_block && got >= 3 && memcmp(block, "\xEF\xBB\xBF", 3) == 0) start = 3;
    first_block = false;
    for (size_t i = start; i < got; ++i) {
      char c = block[i];
      if (c == '\n' || c == '\r') {
        if (!line_cut) line.append(block + start, i - start);
        parse_list_line(state, line);
        line.clear();
        line_cut = false;
        start = i + 1;
      } else if (c == '\0' && !line_cut) {
        line.append(block + start, i - start);
        line_cut = true;
      }
    }
    if (!line_cut) line.append(block + start, got - start);
  }
  // A read error ends the list like its end would; what was read so far stays queued.
  if (!line.empty()) parse_list_line(state, line);
}
