// Which network addresses the relay may fetch from and which clients it serves.
#include "relay/address_policy.h"

#include <charconv>
#include <cstring>

#include "relay/special_purpose_addresses.h"

namespace {

// A range of the registries, read.
struct Rule {
  Cidr range;
  const SpecialPurposeRange* entry;
};

const std::vector<Rule>& default_rules() {
  static const std::vector<Rule> rules = [] {
    std::vector<Rule> read;
    for (const SpecialPurposeRange& entry : special_purpose_ranges()) {
      Rule rule{{}, &entry};
      // Every range of the table is one parse_cidr() reads; the table's test meets each.
      if (parse_cidr(entry.range, &rule.range)) read.push_back(rule);
    }
    return read;
  }();
  return rules;
}

// The most specific range of the registries that holds `address`; null when none does.
const SpecialPurposeRange* most_specific(const IpAddress& address) {
  const Rule* found = nullptr;
  for (const Rule& rule : default_rules())
    if (in_range(address, rule.range) && (!found || rule.range.prefix > found->range.prefix))
      found = &rule;
  return found ? found->entry : nullptr;
}

IpAddress mapped(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  IpAddress address = kMappedPrefix;
  address[12] = a, address[13] = b, address[14] = c, address[15] = d;
  return address;
}

// The IPv4 addresses (mapped) that `address` carries in the layout `form`.
std::vector<IpAddress> embedded(const IpAddress& address, EmbeddedIpv4 form) {
  const IpAddress& x = address;
  switch (form) {
    case EmbeddedIpv4::Last32Bits:
      return {mapped(x[12], x[13], x[14], x[15])};
    case EmbeddedIpv4::Nat64At48:
      return {mapped(x[6], x[7], x[9], x[10])};  // x[8] is the u octet
    case EmbeddedIpv4::SixToFour:
      return {mapped(x[2], x[3], x[4], x[5])};
    case EmbeddedIpv4::Teredo:
      // The client's address, and the server's, which a peer may be sent to as well.
      return {mapped(static_cast<uint8_t>(~x[12]), static_cast<uint8_t>(~x[13]),
                     static_cast<uint8_t>(~x[14]), static_cast<uint8_t>(~x[15])),
              mapped(x[4], x[5], x[6], x[7])};
    case EmbeddedIpv4::None:
      break;
  }
  return {};
}

// The rule that refuses the IPv4 address `v4` (mapped); empty when none does.
std::string_view ipv4_rule(const IpAddress& v4) {
  const SpecialPurposeRange* entry = most_specific(v4);
  // Only the mapped form itself holds an address of no IPv4 range.
  if (!entry || entry->embeds != EmbeddedIpv4::None || entry->reachable) return {};
  return entry->rule;
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
  const SpecialPurposeRange* entry = most_specific(address);
  if (!entry) return {};
  // A gateway (NAT64, 6to4, Teredo) or the system turns these into traffic to the IPv4 address
  // inside, which meets the IPv4 rules first.
  for (const IpAddress& inside : embedded(address, entry->embeds))
    if (std::string_view rule = ipv4_rule(inside); !rule.empty()) return rule;
  return entry->reachable ? std::string_view() : entry->rule;
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
  return ip && allows(*ip);
}

bool ClientPolicy::allows(const IpAddress& address) const {
  if (allowed_.empty()) return true;
  for (const Cidr& range : allowed_)
    if (in_range(address, range)) return true;
  return false;
}

TrustedProxies::TrustedProxies(const std::vector<std::string>& ranges)
    : ranges_(parse_all(ranges)) {}

bool TrustedProxies::trusts(const sockaddr* peer) const {
  std::optional<IpAddress> ip = ip_of(peer);
  if (!ip) return false;
  for (const Cidr& range : ranges_)
    if (in_range(*ip, range)) return true;
  return false;
}
