// The requests of a run: the list file, one download per line, or the single download of the
// command line.
#include "client/run/list_file.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>

#include "client/output/log.h"
#include "common/utf16.h"
#include "platform/files.h"

namespace {

bool is_separator(char c) {
  return c == '\t' || c == ' ' || c == '\r' || c == '\n';
}

bool all_hex(std::string_view text) {
  for (const char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool has_http_scheme(std::string_view text) {
  return text.starts_with("http://") || text.starts_with("https://");
}

// The lines of a list, from pieces of text of any size, each turned into a record as it ends. A
// line ends at LF or at CR, whatever its length (D2); a NUL ends the line's text, and the bytes
// after it up to the line end are dropped.
class ListLines {
 public:
  explicit ListLines(RunState& state) : state_(state) {}

  void feed(const char* text, size_t size) {
    size_t start = 0;
    for (size_t i = 0; i < size && status_.ok(); ++i) {
      const char c = text[i];
      if (c == '\n' || c == '\r') {
        if (!line_cut_) line_.append(text + start, i - start);
        status_ = parse_list_line(state_, line_);
        line_.clear();
        line_cut_ = false;
        start = i + 1;
      } else if (c == '\0' && !line_cut_) {
        line_.append(text + start, i - start);
        line_cut_ = true;
      }
    }
    if (!line_cut_) line_.append(text + start, size - start);
  }

  void finish() {
    if (!line_.empty() && status_.ok()) status_ = parse_list_line(state_, line_);
    line_.clear();
  }

  /// Not ok once a line could not be queued: the run ends, and the rest is not read.
  const Status& status() const { return status_; }

 private:
  RunState& state_;
  Status status_;
  std::string line_;
  bool line_cut_ = false;
};

// The byte-order mark at the start of a list, and the length to skip. Editors on Windows begin
// UTF-8 text with one (D16), and save "Unicode" text as UTF-16 behind one; UTF-16 is read as
// the UTF-8 text it stands for (D22). A mark anywhere else stays part of the text.
size_t byte_order_mark(const char* block, size_t size, std::optional<Utf16Decoder>& utf16) {
  if (size >= 3 && memcmp(block, "\xEF\xBB\xBF", 3) == 0) return 3;
  if (size >= 2 && memcmp(block, "\xFF\xFE", 2) == 0) {
    utf16.emplace(false);
    return 2;
  }
  if (size >= 2 && memcmp(block, "\xFE\xFF", 2) == 0) {
    utf16.emplace(true);
    return 2;
  }
  return 0;
}

}  // namespace

Status queue_request(RunState& state, std::optional<std::string_view> sha1,
                     std::optional<std::string_view> size, std::optional<std::string_view> url,
                     std::optional<std::string_view> sha256) {
  Download* download = new_download(state.download_records, sha1, size, url, sha256);
  if (!download) return fatal_error(state.settings, "Out of memory");
  if (!queue_push(state.request_queue, download))
    return fatal_error(state.settings, "Out of memory while growing queue");
  return Status();
}

Status parse_list_line(RunState& state, std::string_view line) {
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
  if (count < 3) return Status();

  std::string_view url = fields[2];
  std::optional<std::string_view> sha256;
  if (count == 4) {
    sha256 = fields[3];
    if (all_hex(fields[2]) && has_http_scheme(fields[3])) std::swap(url, *sha256);
  }
  return queue_request(state, fields[0], fields[1], url, sha256);
}

Status read_requests(RunState& state) {
  const Settings& settings = state.settings;
  if (settings.list_path) return read_list_file(state, *settings.list_path);
  return queue_request(state, settings.sha1, settings.size, settings.url, settings.sha256);
}

Status read_list_file(RunState& state, const std::string& path) {
  // A folder is no list, though some systems let fopen open one.
  FilePtr file = state.env.is_directory(path) ? nullptr : state.env.open_file(path, "rb");
  if (!file) return fatal_error(state.settings, "ERROR: Can't open file %s", path.c_str());
  return read_list_stream(state, file.get());
}

Status read_list_stream(RunState& state, FILE* file) {
  ListLines lines(state);
  std::optional<Utf16Decoder> utf16;
  std::string text;
  char block[65536];
  size_t got;
  bool first_block = true;
  while (lines.status().ok() && (got = fread(block, 1, sizeof block, file)) > 0) {
    size_t start = 0;
    if (first_block) start = byte_order_mark(block, got, utf16);
    first_block = false;
    if (!utf16) {
      lines.feed(block + start, got - start);
      continue;
    }
    text.clear();
    utf16->feed(block + start, got - start, text);
    lines.feed(text.data(), text.size());
  }
  // A read error ends the list like its end would; what was read so far stays queued.
  if (utf16) {
    text.clear();
    utf16->finish(text);
    lines.feed(text.data(), text.size());
  }
  lines.finish();
  return lines.status();
}
