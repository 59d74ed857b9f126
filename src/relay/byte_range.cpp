// The Range header of a mirror GET: which bytes of a stored file a reply carries.
#include "relay/byte_range.h"

#include <charconv>

namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A decimal number filling `text`, or false.
bool read_number(std::string_view text, uint64_t* value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

RangeReply choose_range(std::string_view header, uint64_t size, ByteRange* range) {
  header = trim(header);
  if (!header.starts_with("bytes=")) return RangeReply::Whole;
  std::string_view spec = trim(header.substr(6));
  if (spec.find(',') != std::string_view::npos) return RangeReply::Whole;
  const size_t dash = spec.find('-');
  if (dash == std::string_view::npos) return RangeReply::Whole;
  std::string_view first = trim(spec.substr(0, dash)), last = trim(spec.substr(dash + 1));
  uint64_t start = 0, end = 0;
  if (first.empty()) {  // the final N bytes
    uint64_t suffix = 0;
    if (!read_number(last, &suffix)) return RangeReply::Whole;
    if (suffix == 0 || size == 0) return RangeReply::Unsatisfiable;
    start = suffix >= size ? 0 : size - suffix;
    end = size - 1;
  } else {
    if (!read_number(first, &start)) return RangeReply::Whole;
    if (last.empty()) {
      end = size == 0 ? 0 : size - 1;
    } else if (!read_number(last, &end) || end < start) {
      return RangeReply::Whole;
    }
    if (start >= size) return RangeReply::Unsatisfiable;
    if (end >= size) end = size - 1;
  }
  range->offset = start;
  range->length = end - start + 1;
  return RangeReply::Partial;
}
