// The Range header of a mirror GET: which bytes of a stored file a reply carries.
#pragma once

#include <cstdint>
#include <string_view>

/// Bytes [offset, offset + length) of a file.
struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
};

enum class RangeReply {
  Whole,          ///< 200 with the whole file: no Range, one the relay ignores, or several
  Partial,        ///< 206 with the one range asked for
  Unsatisfiable,  ///< 416: the one range asked for starts past the end
};

/// What to send for a Range `header` (empty when the request had none) on a file of `size`
/// bytes. Several ranges, overlapping or not, get the whole file (allowed by RFC 9110), so a
/// reply never carries more than the file. A header that is not a bytes range is ignored.
/// Sets `range` for Partial.
RangeReply choose_range(std::string_view header, uint64_t size, ByteRange* range);
