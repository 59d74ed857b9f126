// The client a trusted balancer names in X-Forwarded-For.
#include "relay/forwarded_for.h"

#include <string_view>

namespace {

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace

std::optional<IpAddress> forwarded_client(const std::vector<HeaderField>& fields) {
  const HeaderField* last_line = nullptr;
  for (const HeaderField& field : fields)
    if (equals_caseless(field.first, "X-Forwarded-For")) last_line = &field;
  if (!last_line) return std::nullopt;
  const std::string_view line = last_line->second;
  const size_t comma = line.rfind(',');
  const std::string_view last =
      trimmed(comma == std::string_view::npos ? line : line.substr(comma + 1));
  if (last.empty()) return std::nullopt;
  return parse_ip(last);
}
