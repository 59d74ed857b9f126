// Which network addresses the relay may fetch from and which clients it serves.
#include "relay/address_policy.h"

#include <charconv>
#include <cstring>

namespace {

constexpr IpAddress kNat64Prefix{0, 0x64, 0xff, 0x9b};

bool has_prefix(const IpAddress& address, const IpAddress& prefix, size_t bytes) {
  return memcmp(address.data(), prefix.data(), bytes) == 0;
}

Cidr v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, int bits) {
  Cidr range{kMappedPrefix, 96 + bits};
  range.base[12] = a, range.base[13] = b, range.base[14] = c, range.base[15] = d;
  return range;
}

Cidr v6(std::initializer_list<uint8_t> head, int bits) {
  Cidr range;
  std::copy(head.begin(), head.end(), range.base.begin());
  range.prefix = bits;
  return range;
}

struct Rule {
  Cidr range;
  std::string_view name;
};

const std::vector<Rule>& default_rules() {
  static const std::vector<Rule> rules{
      {v4(0, 0, 0, 0, 8), "unspecified"},
      {v4(10, 0, 0, 0, 8), "private"},
      {v4(100, 64, 0, 0, 10), "shared address space (CGNAT)"},
      {v4(127, 0, 0, 0, 8), "loopback"},
      {v4(169, 254, 0, 0, 16), "link-local"},
      {v4(172, 16, 0, 0, 12), "private"},
      {v4(192, 0, 0, 0, 24), "reserved"},
      {v4(192, 168, 0, 0, 16), "private"},
      {v4(198, 18, 0, 0, 15), "reserved"},
      {v4(224, 0, 0, 0, 4), "multicast"},
      {v4(255, 255, 255, 255, 32), "broadcast"},
      {v4(240, 0, 0, 0, 4), "reserved"},
      {v6({}, 128), "unspecified"},
      {v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128), "loopback"},
      {v6({}, 96), "reserved"},  // IPv4-compatible addresses, long deprecated
      {v6({0xfc}, 7), "private"},
      {v6({0xfe, 0x80}, 10), "link-local"},
      {v6({0xfe, 0xc0}, 10), "private"},  // site-local, the ULA's deprecated forerunner
      {v6({0xff}, 8), "multicast"},
      {v6({0x01, 0x00}, 64), "reserved"},              // discard-only
      {v6({0x20, 0x01, 0x0d, 0xb8}, 32), "reserved"},  // documentation
  };
  return rules;
}

std::vector<Cidr> parse_all(const std::vector<std::string>& texts) {
  std::vector<Cidr> ranges;
  for (const auto& text : texts) {
    Cidr range;
    if (parse_cidr(text, &range)) ranges.push_back(range);
  }
  return ranges;
}

}  // namespace

bool parse_cidr(std::string_view text, Cidr* cidr) {
  size_t slash = text.find('/');
  std::optional<IpAddress> base = parse_ip(text.substr(0, slash));
  if (!base) return false;
  const bool is_v4 = text.substr(0, slash).find(':') == std::string_view::npos;
  int bits = is_v4 ? 32 : 128;
  if (slash != std::string_view::npos) {
    std::string_view digits = text.substr(slash + 1);
    // Digits only: from_chars would also take a minus sign, and "-0" for 0.
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
      return false;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
    if (ec != std::errc() || end != digits.data() + digits.size()) return false;
    if (bits < 0 || bits > (is_v4 ? 32 : 128)) return false;
  }
  cidr->base = *base;
  cidr->prefix = is_v4 ? bits + 96 : bits;
  return true;
}

bool in_range(const IpAddress& address, const Cidr& range) {
  const int whole = range.prefix / 8, rest = range.prefix % 8;
  if (memcmp(address.data(), range.base.data(), static_cast<size_t>(whole)) != 0) return false;
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
  const auto at = static_cast<size_t>(whole);
  return (address[at] & mask) == (range.base[at] & mask);
}

std::string_view refusing_rule(const IpAddress& address) {
  IpAddress checked = address;
  // A NAT64 gateway turns these into connections to the IPv4 address inside.
  if (has_prefix(address, kNat64Prefix, 12)) {
    checked = kMappedPrefix;
    std::copy(address.begin() + 12, address.end(), checked.begin() + 12);
  }
  for (const Rule& rule : default_rules())
    if (in_range(checked, rule.range)) return rule.name;
  return {};
}

OriginPolicy::OriginPolicy(const std::vector<std::string>& allowed)
    : allowed_(parse_all(allowed)) {}

std::string_view OriginPolicy::refusal(const IpAddress& address) const {
  for (const Cidr& range : allowed_)
    if (in_range(address, range)) return {};
  return refusing_rule(address);
}

ClientPolicy::ClientPolicy(const std::vector<std::string>& allowed)
    : allowed_(parse_all(allowed)) {}

bool ClientPolicy::allows(const sockaddr* address) const {
  if (allowed_.empty()) return true;
  std::optional<IpAddress> ip = ip_of(address);
  if (!ip) return false;
  for (const Cidr& range : allowed_)
    if (in_range(*ip, range)) return true;
  return false;
}
