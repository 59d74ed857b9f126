// The rules a request's head keeps before the relay does any work for it.
#include "relay/request_framing.h"

#include <charconv>
#include <cstdint>
#include <optional>

namespace {

constexpr FramingVerdict kBadRequest(const char* reason) {
  return FramingVerdict{400, reason};
}

bool is_token_char(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_token(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!is_token_char(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string_view trim_spaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A value may hold tabs, spaces, visible and non-ASCII bytes; no other control.
bool is_field_value(std::string_view value) {
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f) return false;
  }
  return true;
}

// The fields that decide where the body ends, and the Host.
struct FramingFields {
  int lengths = 0;
  std::string_view length;
  int codings = 0;
  std::string_view coding;
  int hosts = 0;
};

FramingVerdict check_length(std::string_view length) {
  uint64_t value = 0;
  auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), value);
  if (error == std::errc::result_out_of_range)
    return FramingVerdict{413, "a body length too large"};
  if (length.empty() || error != std::errc() || end != length.data() + length.size())
    return kBadRequest("a Content-Length that is not a number");
  return FramingVerdict{};
}

FramingVerdict check_framing(const FramingFields& found, bool http_1_1) {
  if (found.lengths > 1) return kBadRequest("more than one Content-Length");
  if (found.lengths == 1) {
    FramingVerdict length = check_length(trim_spaces(found.length));
    if (length.refused()) return length;
  }
  if (found.codings > 0 && found.lengths > 0)
    return kBadRequest("both Content-Length and Transfer-Encoding");
  if (found.codings > 1 || (found.codings == 1 && !equals_caseless(found.coding, "chunked")))
    return FramingVerdict{501, "a transfer coding other than chunked"};
  if (found.hosts > 1) return kBadRequest("more than one Host");
  if (http_1_1 && found.hosts == 0) return kBadRequest("no Host in an HTTP/1.1 request");
  return FramingVerdict{};
}

// One line of the head, without its line end.
struct Line {
  std::string_view text;
  size_t next = 0;  // where the following line begins
};

// The next line from `at`, or nothing while its end has not arrived.
std::optional<Line> next_line(std::string_view head, size_t at) {
  const size_t end = head.find('\n', at);
  if (end == std::string_view::npos) return std::nullopt;
  size_t text_end = end;
  if (text_end > at && head[text_end - 1] == '\r') --text_end;
  return Line{head.substr(at, text_end - at), end + 1};
}

// Bytes that no request head holds anywhere: a NUL, and a CR that is not before an LF.
FramingVerdict check_bytes(std::string_view received) {
  for (size_t i = 0; i < received.size(); ++i) {
    if (received[i] == '\0') return kBadRequest("a NUL in the request head");
    if (received[i] == '\r' && i + 1 < received.size() && received[i + 1] != '\n')
      return kBadRequest("a CR without LF in the request head");
  }
  return FramingVerdict{};
}

// "METHOD SP TARGET SP HTTP/1.x"; sets `http_1_1`.
FramingVerdict check_request_line(std::string_view line, bool* http_1_1) {
  const size_t method_end = line.find(' ');
  const size_t target_end = method_end == std::string_view::npos ? std::string_view::npos
                                                                 : line.find(' ', method_end + 1);
  if (target_end == std::string_view::npos) return kBadRequest("a request line that is not HTTP");
  const std::string_view target = line.substr(method_end + 1, target_end - method_end - 1);
  const std::string_view version = line.substr(target_end + 1);
  if (!is_token(line.substr(0, method_end)) || target.empty())
    return kBadRequest("a request line that is not HTTP");
  for (char c : target)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
      return kBadRequest("a control or space in the target");
  if (version.size() != 8 || !version.starts_with("HTTP/") || version[6] != '.')
    return kBadRequest("a request line that is not HTTP");
  if (version[5] != '1' || (version[7] != '0' && version[7] != '1'))
    return FramingVerdict{505, "an HTTP version other than 1.0 and 1.1"};
  *http_1_1 = version[7] == '1';
  return FramingVerdict{};
}

// While the request line is still arriving: its method must be made of token characters, so
// that a TLS handshake or binary bytes are refused at their first byte.
FramingVerdict check_method_start(std::string_view received) {
  for (size_t i = 0; i < received.size(); ++i) {
    const char c = received[i];
    if (c == ' ' && i > 0) return FramingVerdict{};
    if (!is_token_char(static_cast<unsigned char>(c)))
      return kBadRequest("a request line that is not HTTP");
  }
  return FramingVerdict{};
}

// One field line: "name:value", the name a token right against its colon.
FramingVerdict split_field(std::string_view line, HeaderField* field) {
  if (line.front() == ' ' || line.front() == '\t') return kBadRequest("a folded field value");
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return kBadRequest("a field line without a colon");
  *field = {line.substr(0, colon), trim_spaces(line.substr(colon + 1))};
  return FramingVerdict{};
}

// Where the request line begins: empty lines before it are tolerated (RFC 9112 §2.2).
size_t request_line_start(std::string_view received) {
  size_t at = 0;
  while (at < received.size() && (received[at] == '\r' || received[at] == '\n')) ++at;
  return at;
}

// The bytes of the head: up to its empty line, or all of them while it has not come. Bytes
// after it (a body, a pipelined request) are not the head's.
std::string_view head_extent(std::string_view received) {
  std::optional<Line> line = next_line(received, request_line_start(received));
  while (line) {
    std::optional<Line> field = next_line(received, line->next);
    if (field && field->text.empty()) return received.substr(0, field->next);
    line = field;
  }
  return received;
}

HeadScan refused(FramingVerdict verdict) {
  return HeadScan{HeadProgress::Refused, 0, verdict};
}

}  // namespace

bool equals_caseless(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  return true;
}

FramingVerdict check_header_fields(const std::vector<HeaderField>& fields, bool http_1_1) {
  FramingFields found;
  for (const auto& [name, value] : fields) {
    if (!is_token(name)) return kBadRequest("a field name that is not a token");
    if (!is_field_value(value)) return kBadRequest("a control character in a field value");
    if (equals_caseless(name, "Content-Length")) {
      ++found.lengths;
      found.length = value;
    } else if (equals_caseless(name, "Transfer-Encoding")) {
      ++found.codings;
      found.coding = trim_spaces(value);
    } else if (equals_caseless(name, "Host")) {
      ++found.hosts;
    }
  }
  return check_framing(found, http_1_1);
}

bool target_has_nul(std::string_view raw_target) {
  return raw_target.find('\0') != std::string_view::npos ||
         raw_target.find("%00") != std::string_view::npos;
}

HeadScan scan_request_head(std::string_view received, size_t max_head) {
  if (FramingVerdict bytes = check_bytes(head_extent(received)); bytes.refused())
    return refused(bytes);
  const size_t at = request_line_start(received);
  std::optional<Line> line = next_line(received, at);
  if (!line) {
    if (FramingVerdict start = check_method_start(received.substr(at)); start.refused())
      return refused(start);
  } else {
    bool http_1_1 = false;
    if (FramingVerdict request = check_request_line(line->text, &http_1_1); request.refused())
      return refused(request);
    std::vector<HeaderField> fields;
    while ((line = next_line(received, line->next)) && !line->text.empty()) {
      HeaderField field;
      if (FramingVerdict split = split_field(line->text, &field); split.refused())
        return refused(split);
      fields.push_back(field);
    }
    if (line) {
      FramingVerdict verdict = check_header_fields(fields, http_1_1);
      if (verdict.refused()) return refused(verdict);
      return HeadScan{HeadProgress::Complete, line->next, FramingVerdict{}};
    }
  }
  if (received.size() >= max_head) return refused(FramingVerdict{431, "a request head too large"});
  return HeadScan{};
}
