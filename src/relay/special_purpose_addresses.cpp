// IANA's IPv4 and IPv6 Special-Purpose Address Registries as of 2024-12, written from the
// registries' entries of that date. A range is reachable here only when its entry says
// "Globally Reachable: True"; "False" and "N/A" are refused. A few ranges that are not in the
// registries (multicast, the deprecated site-local and IPv4-compatible forms, the translated
// form) are refused or judged beside them, and marked so.
#include "relay/special_purpose_addresses.h"

namespace {

constexpr bool kReachable = true;
constexpr bool kRefused = false;

// clang-format off
constexpr SpecialPurposeRange kRanges[] = {
    // IPv4 Special-Purpose Address Registry.
    {"0.0.0.0/8", "unspecified", kRefused},           // "this network"
    {"0.0.0.0/32", "unspecified", kRefused},          // "this host on this network"
    {"10.0.0.0/8", "private", kRefused},
    {"100.64.0.0/10", "shared address space (CGNAT)", kRefused},
    {"127.0.0.0/8", "loopback", kRefused},
    {"169.254.0.0/16", "link-local", kRefused},
    {"172.16.0.0/12", "private", kRefused},
    {"192.0.0.0/24", "reserved", kRefused},           // IETF protocol assignments
    {"192.0.0.0/29", "reserved", kRefused},           // IPv4 service continuity prefix
    {"192.0.0.8/32", "reserved", kRefused},           // IPv4 dummy address
    {"192.0.0.9/32", "", kReachable},                 // Port Control Protocol anycast
    {"192.0.0.10/32", "", kReachable},                // TURN anycast
    {"192.0.0.170/32", "reserved", kRefused},         // NAT64/DNS64 discovery
    {"192.0.0.171/32", "reserved", kRefused},         // NAT64/DNS64 discovery
    {"192.0.2.0/24", "documentation", kRefused},      // TEST-NET-1
    {"192.31.196.0/24", "", kReachable},              // AS112-v4
    {"192.52.193.0/24", "", kReachable},              // AMT
    {"192.88.99.0/24", "reserved", kRefused},         // deprecated 6to4 relay anycast (N/A)
    {"192.168.0.0/16", "private", kRefused},
    {"192.175.48.0/24", "", kReachable},              // AS112 direct delegation
    {"198.18.0.0/15", "benchmarking", kRefused},
    {"198.51.100.0/24", "documentation", kRefused},   // TEST-NET-2
    {"203.0.113.0/24", "documentation", kRefused},    // TEST-NET-3
    {"240.0.0.0/4", "reserved", kRefused},
    {"255.255.255.255/32", "broadcast", kRefused},
    // Not in the registry: multicast is no unicast origin.
    {"224.0.0.0/4", "multicast", kRefused},

    // IPv6 Special-Purpose Address Registry.
    {"::1/128", "loopback", kRefused},
    {"::/128", "unspecified", kRefused},
    // The IPv4 address itself, as the relay holds every IPv4 address.
    {"::ffff:0:0/96", "", kReachable, EmbeddedIpv4::Last32Bits},
    {"64:ff9b::/96", "", kReachable, EmbeddedIpv4::Last32Bits},  // NAT64, well-known prefix
    // Local-use NAT64 (registry: not global). Behind such a gateway it is the way to IPv4 hosts,
    // so it is judged by the IPv4 address inside alone.
    {"64:ff9b:1::/48", "", kReachable, EmbeddedIpv4::Nat64At48},
    {"100::/64", "discard-only", kRefused},
    {"2001::/23", "reserved", kRefused},               // IETF protocol assignments
    {"2001::/32", "", kReachable, EmbeddedIpv4::Teredo},  // Teredo (N/A): judged by what it holds
    {"2001:1::1/128", "", kReachable},                 // Port Control Protocol anycast
    {"2001:1::2/128", "", kReachable},                 // TURN anycast
    {"2001:1::3/128", "", kReachable},                 // DNS-SD service registration anycast
    {"2001:2::/48", "benchmarking", kRefused},
    {"2001:3::/32", "", kReachable},                   // AMT
    {"2001:4:112::/48", "", kReachable},               // AS112-v6
    {"2001:10::/28", "reserved", kRefused},            // deprecated ORCHID
    {"2001:20::/28", "", kReachable},                  // ORCHIDv2
    {"2001:30::/28", "", kReachable},                  // drone remote ID entity tags
    {"2001:db8::/32", "documentation", kRefused},
    {"2002::/16", "", kReachable, EmbeddedIpv4::SixToFour},  // 6to4 (N/A): judged by what it holds
    {"2620:4f:8000::/48", "", kReachable},             // AS112 direct delegation
    {"3fff::/20", "documentation", kRefused},
    {"5f00::/16", "reserved", kRefused},               // segment routing (SRv6) SIDs
    {"fc00::/7", "private", kRefused},                 // unique-local
    {"fe80::/10", "link-local", kRefused},
    // Not in the registry.
    {"::ffff:0:0:0/96", "", kReachable, EmbeddedIpv4::Last32Bits},  // translated (SIIT)
    // IPv4-compatible, deprecated: no system routes it, whatever it holds.
    {"::/96", "reserved", kRefused, EmbeddedIpv4::Last32Bits},
    {"fec0::/10", "private", kRefused},                // site-local, the ULA's deprecated forerunner
    {"ff00::/8", "multicast", kRefused},
};
// clang-format on

}  // namespace

std::span<const SpecialPurposeRange> special_purpose_ranges() {
  return kRanges;
}
