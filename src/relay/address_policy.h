// Which network addresses the relay may fetch from and which clients it serves.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_addresses.h"  // IpAddress, parse_ip, ip_of

/// A range of addresses: the first `prefix` bits of `base`.
struct Cidr {
  IpAddress base{};
  int prefix = 0;  ///< 0 to 128; an IPv4 range's prefix is counted in the mapped form (+96)
};

/// Reads "ADDRESS/BITS" (or a bare address: one address) in IPv4 or IPv6 notation. False when
/// `text` is not such a range or its bits reach past the address.
bool parse_cidr(std::string_view text, Cidr* cidr);

bool in_range(const IpAddress& address, const Cidr& range);

/// The rule that keeps an origin at `address` out by default: the ranges of IANA's
/// special-purpose registries that are not globally reachable (special_purpose_addresses.cpp),
/// named "loopback", "private", "link-local", "shared address space (CGNAT)", "unspecified",
/// "multicast", "broadcast", "documentation", "benchmarking", "discard-only" or "reserved"; empty
/// for an address on the public internet. An IPv6 address that carries an IPv4 one (mapped,
/// translated, compatible, NAT64, 6to4, Teredo) is refused by the IPv4 address's rule first.
std::string_view refusing_rule(const IpAddress& address);

/// The origin policy: the default rules, and the ranges an operator allowed despite them.
class OriginPolicy {
 public:
  OriginPolicy() = default;
  /// `allowed` holds texts parse_cidr() accepts; any other is skipped.
  explicit OriginPolicy(const std::vector<std::string>& allowed);

  /// Empty when an origin at `address` may be fetched from; otherwise the rule that refuses it.
  std::string_view refusal(const IpAddress& address) const;

 private:
  std::vector<Cidr> allowed_;
};

/// The client policy: anyone when no range is given, otherwise only addresses in one of them.
class ClientPolicy {
 public:
  ClientPolicy() = default;
  explicit ClientPolicy(const std::vector<std::string>& allowed);
  bool allows(const sockaddr* address) const;
  bool allows(const IpAddress& address) const;

 private:
  std::vector<Cidr> allowed_;
};

/// The balancers in front of the relay (--trusted-proxy): a peer in one of these ranges names
/// its client in X-Forwarded-For. None when no range is given.
class TrustedProxies {
 public:
  TrustedProxies() = default;
  /// `ranges` holds texts parse_cidr() accepts; any other is skipped.
  explicit TrustedProxies(const std::vector<std::string>& ranges);
  bool trusts(const sockaddr* peer) const;

 private:
  std::vector<Cidr> ranges_;
};
