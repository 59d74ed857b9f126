// The address ranges set aside for special purposes, from IANA's IPv4 and IPv6 Special-Purpose
// Address Registries, with what the relay's origin policy needs to know of each.
#pragma once

#include <span>
#include <string_view>

/// Where an IPv6 range carries an IPv4 address inside its addresses.
enum class EmbeddedIpv4 {
  None,
  Last32Bits,  ///< bits 96..127: mapped, translated, compatible, NAT64 with a /96 prefix
  Nat64At48,   ///< a /48 NAT64 prefix (RFC 6052): bits 48..63 and 72..87, around the u octet
  SixToFour,   ///< 2002:AABB:CCDD::/48: bits 16..47
  Teredo,      ///< the server in bits 32..63, the client inverted in bits 96..127
};

/// One range of the registries (or, where named so, a range beside them).
struct SpecialPurposeRange {
  std::string_view range;  ///< "ADDRESS/BITS", as parse_cidr() reads it
  std::string_view rule;   ///< what a refusal names: "private", "loopback", ...
  /// Whether an origin may be at this address. For a range that embeds an IPv4 address: when that
  /// IPv4 address may be reached.
  bool reachable = false;
  EmbeddedIpv4 embeds = EmbeddedIpv4::None;
};

/// Every range. A more specific range overrides a wider one it lies in (192.0.0.9/32 within
/// 192.0.0.0/24).
std::span<const SpecialPurposeRange> special_purpose_ranges();
