// Numeric network addresses as the system reads them, in one form for IPv4 and IPv6. POSIX
// systems only: the relay, which judges addresses, is built for them alone.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sockaddr;

/// An IPv6 address; an IPv4 address is held in its IPv4-mapped form (::ffff:a.b.c.d), so that
/// both forms of the same address meet the same rules.
using IpAddress = std::array<uint8_t, 16>;

/// The first twelve bytes of an IPv4-mapped address.
inline constexpr IpAddress kMappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

/// Reads a numeric IPv4 or IPv6 address; nothing for any other text (a NUL inside included).
std::optional<IpAddress> parse_ip(std::string_view text);

/// The address of a socket address of family AF_INET or AF_INET6; none for any other.
std::optional<IpAddress> ip_of(const sockaddr* address);

/// The usual text of `address`: dotted IPv4 for a mapped address, IPv6 notation otherwise.
std::string ip_text(const IpAddress& address);
