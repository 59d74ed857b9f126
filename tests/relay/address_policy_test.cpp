// The origin and client policies: which addresses are refused by default, and what an
// operator's ranges allow. Addresses are classified here without connecting to any.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "relay/address_policy.h"

namespace {

std::string rule_of(const std::string& address, const std::vector<std::string>& allowed = {}) {
  std::optional<IpAddress> ip = parse_ip(address);
  if (!ip) return "(not an address)";
  return std::string(OriginPolicy(allowed).refusal(*ip));
}

// The first and the last address of `range` (IPv4 or IPv6 notation), as text.
std::pair<std::string, std::string> edges_of(const std::string& range) {
  Cidr cidr;
  if (!parse_cidr(range, &cidr)) return {"(bad range)", "(bad range)"};
  IpAddress first = cidr.base, last = cidr.base;
  for (int bit = cidr.prefix; bit < 128; ++bit) {
    const auto byte = static_cast<size_t>(bit / 8);
    const auto mask = static_cast<uint8_t>(0x80 >> (bit % 8));
    first[byte] = static_cast<uint8_t>(first[byte] & ~mask);
    last[byte] = static_cast<uint8_t>(last[byte] | mask);
  }
  auto text = [&](const IpAddress& address) {
    char buffer[INET6_ADDRSTRLEN];
    const bool v4 = std::equal(kMappedPrefix.begin(), kMappedPrefix.begin() + 12, address.begin());
    if (v4) return std::string(inet_ntop(AF_INET, address.data() + 12, buffer, sizeof buffer));
    return std::string(inet_ntop(AF_INET6, address.data(), buffer, sizeof buffer));
  };
  return {text(first), text(last)};
}

// Every entry of IANA's IPv4 and IPv6 Special-Purpose Address Registries (as of 2024-12), and the
// few ranges refused beside them: the first and last address of each range not globally
// reachable are refused, of each reachable one allowed, and the addresses just outside (where
// they are global) allowed. The ranges that carry an IPv4 address are refused at their edges,
// which carry 0.0.0.0 and 255.255.255.255 (or, for Teredo's client, their inverse).
TEST(OriginPolicyTest, TheRegistriesRangesThatAreNotGloballyReachableAreRefused) {
  struct Case {
    const char* range;
    bool reachable;
    const char* below;  // the address just before the range, when it is global
    const char* above;  // the address just after it, when it is global
  } cases[] = {
      {"0.0.0.0/8", false, "", "1.0.0.0"},
      {"0.0.0.0/32", false, "", ""},
      {"10.0.0.0/8", false, "9.255.255.255", "11.0.0.0"},
      {"100.64.0.0/10", false, "100.63.255.255", "100.128.0.0"},
      {"127.0.0.0/8", false, "126.255.255.255", "128.0.0.0"},
      {"169.254.0.0/16", false, "169.253.255.255", "169.255.0.0"},
      {"172.16.0.0/12", false, "172.15.255.255", "172.32.0.0"},
      {"192.0.0.0/24", false, "191.255.255.255", "192.0.1.0"},
      {"192.0.0.0/29", false, "191.255.255.255", ""},
      {"192.0.0.8/32", false, "", "192.0.0.9"},
      {"192.0.0.9/32", true, "", "192.0.0.10"},
      {"192.0.0.10/32", true, "192.0.0.9", ""},
      {"192.0.0.170/32", false, "", ""},
      {"192.0.0.171/32", false, "", ""},
      {"192.0.2.0/24", false, "192.0.1.255", "192.0.3.0"},
      {"192.31.196.0/24", true, "192.31.195.255", "192.31.197.0"},
      {"192.52.193.0/24", true, "192.52.192.255", "192.52.194.0"},
      {"192.88.99.0/24", false, "192.88.98.255", "192.88.100.0"},
      {"192.168.0.0/16", false, "192.167.255.255", "192.169.0.0"},
      {"192.175.48.0/24", true, "192.175.47.255", "192.175.49.0"},
      {"198.18.0.0/15", false, "198.17.255.255", "198.20.0.0"},
      {"198.51.100.0/24", false, "198.51.99.255", "198.51.101.0"},
      {"203.0.113.0/24", false, "203.0.112.255", "203.0.114.0"},
      {"240.0.0.0/4", false, "", ""},
      {"255.255.255.255/32", false, "", ""},
      {"224.0.0.0/4", false, "223.255.255.255", ""},  // multicast, beside the registry
      {"::1/128", false, "", ""},
      {"::/128", false, "", ""},
      {"::ffff:0:0/96", false, "::fffe:ffff:ffff", "::1:0:0:0"},
      {"64:ff9b::/96", false, "64:ff9a:ffff:ffff:ffff:ffff:ffff:ffff", "64:ff9b::1:0:0"},
      {"64:ff9b:1::/48", false, "64:ff9b:0:ffff:ffff:ffff:ffff:ffff", "64:ff9b:2::"},
      {"100::/64", false, "ff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "100:0:0:1::"},
      {"2001::/23", false, "2000:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "2001:200::"},
      {"2001::/32", false, "2000:ffff:ffff:ffff:ffff:ffff:ffff:ffff", ""},
      {"2001:1::1/128", true, "", "2001:1::2"},
      {"2001:1::2/128", true, "2001:1::1", "2001:1::3"},
      {"2001:1::3/128", true, "2001:1::2", ""},
      {"2001:2::/48", false, "", ""},
      {"2001:3::/32", true, "", ""},
      {"2001:4:112::/48", true, "", ""},
      {"2001:10::/28", false, "", ""},
      {"2001:20::/28", true, "", "2001:30::"},
      {"2001:30::/28", true, "2001:2f:ffff:ffff:ffff:ffff:ffff:ffff", ""},
      {"2001:db8::/32", false, "2001:db7:ffff:ffff:ffff:ffff:ffff:ffff", "2001:db9::"},
      {"2002::/16", false, "2001:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "2003::"},
      {"2620:4f:8000::/48", true, "2620:4f:7fff:ffff:ffff:ffff:ffff:ffff", "2620:4f:8001::"},
      {"3fff::/20", false, "3ffe:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "3fff:1000::"},
      {"5f00::/16", false, "5eff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "5f01::"},
      {"fc00::/7", false, "fbff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "fe00::"},
      {"fe80::/10", false, "fe7f:ffff:ffff:ffff:ffff:ffff:ffff:ffff", ""},
      // Beside the registry: translated, IPv4-compatible, site-local, multicast.
      {"::ffff:0:0:0/96", false, "::fffe:ffff:ffff:ffff", "::ffff:1:0:0"},
      {"::/96", false, "", "::1:0:0"},
      {"fec0::/10", false, "", ""},
      {"ff00::/8", false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.range);
    const auto [first, last] = edges_of(c.range);
    for (const std::string& address : {first, last})
      EXPECT_EQ(rule_of(address).empty(), c.reachable) << address << ": " << rule_of(address);
    for (const char* outside : {c.below, c.above}) {
      if (*outside) {
        EXPECT_EQ(rule_of(outside), "") << outside;
      }
    }
  }
}

// Each IPv6 form that carries an IPv4 address meets the IPv4 rules: 10.0.0.1 inside is refused as
// private, 8.8.8.8 inside is allowed unless the form itself is refused.
TEST(OriginPolicyTest, AnIpv4AddressInsideAnIpv6OneMeetsTheIpv4Rules) {
  struct Case {
    const char* form;
    const char* with_private;  // carries 10.0.0.1
    const char* with_public;   // carries 8.8.8.8
    const char* public_rule;
  } cases[] = {
      {"mapped", "::ffff:10.0.0.1", "::ffff:8.8.8.8", ""},
      {"translated", "::ffff:0:a00:1", "::ffff:0:808:808", ""},
      {"compatible (deprecated)", "::a00:1", "::808:808", "reserved"},
      {"NAT64 well-known /96", "64:ff9b::a00:1", "64:ff9b::808:808", ""},
      {"NAT64 local-use /48", "64:ff9b:1:a00:0:100::", "64:ff9b:1:808:8:800::", ""},
      {"6to4", "2002:a00:1::1", "2002:808:808::1", ""},
      {"Teredo client", "2001:0:808:404::f5ff:fffe", "2001:0:808:404::f7f7:f7f7", ""},
      {"Teredo server", "2001:0:a00:1::f7f7:f7f7", "2001:0:808:404::f7f7:f7f7", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rule_of(c.with_private), "private") << c.form << " " << c.with_private;
    EXPECT_EQ(rule_of(c.with_public), c.public_rule) << c.form << " " << c.with_public;
  }
  // The probe's addresses, and other IPv4 rules through the same forms.
  struct Seen {
    const char* address;
    const char* rule;
  } seen[] = {
      {"::ffff:0:a00:1", "private"},
      {"64:ff9b:1::a00:1", "unspecified"},  // a /48 prefix puts 0.0.0.0 there
      {"2002:a00:1::1", "private"},
      {"64:ff9b::7f00:1", "loopback"},
      {"64:ff9b::a9fe:a9fe", "link-local"},  // cloud metadata services
      {"::7f00:1", "loopback"},
      {"2002:6440:1::", "shared address space (CGNAT)"},
      {"::ffff:0:c000:9", ""},  // 192.0.0.9, reachable within a refused range
  };
  for (const auto& s : seen) EXPECT_EQ(rule_of(s.address), s.rule) << s.address;
}

TEST(OriginPolicyTest, AllowedRangesOverrideTheRulesForTheirAddressesOnly) {
  struct Case {
    std::vector<std::string> allowed;
    const char* address;
    const char* rule;
  } cases[] = {
      {{"127.0.0.0/8"}, "127.0.0.1", ""},
      {{"127.0.0.0/8"}, "::ffff:127.0.0.1", ""},  // the mapped form meets the same range
      {{"127.0.0.0/8"}, "::1", "loopback"},
      {{"127.0.0.0/8"}, "10.0.0.1", "private"},
      {{"127.0.0.1/32"}, "127.0.0.2", "loopback"},
      {{"127.0.0.1"}, "127.0.0.1", ""},
      {{"10.0.0.0/8", "::1/128"}, "::1", ""},
      {{"10.0.0.0/8", "::1/128"}, "10.200.0.1", ""},
      {{"10.0.0.0/9"}, "10.128.0.1", "private"},
      {{"fd00::/8"}, "fd00::5", ""},
      {{"fd00::/8"}, "fc00::5", "private"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(rule_of(c.address, c.allowed), c.rule) << c.address << " with " << c.allowed[0];
}

TEST(OriginPolicyTest, RangesAreReadStrictly) {
  struct Case {
    const char* text;
    bool ok;
    int prefix;
  } cases[] = {
      {"127.0.0.0/8", true, 104},
      {"10.0.0.0/0", true, 96},
      {"1.2.3.4", true, 128},
      {"::1/128", true, 128},
      {"fd00::/8", true, 8},
      {"::", true, 128},
      {"10.0.0.0/33", false, 0},
      {"::/129", false, 0},
      {"10.0.0.0/", false, 0},
      {"10.0.0.0/-1", false, 0},
      {"10.0.0/8", false, 0},
      {"localhost/8", false, 0},
      {"", false, 0},
      {"10.0.0.0/8x", false, 0},
      {"/8", false, 0},
      {"10.0.0.0/-0", false, 0},
      {"10.0.0.0/+8", false, 0},
      {"10.0.0.0/ 8", false, 0},
  };
  for (const auto& c : cases) {
    Cidr cidr;
    EXPECT_EQ(parse_cidr(c.text, &cidr), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(cidr.prefix, c.prefix) << c.text;
    }
  }
}

TEST(OriginPolicyTest, TextAfterANulByteIsNotIgnored) {
  using namespace std::string_literals;
  Cidr cidr;
  for (const std::string& text : {"::\0ffff:127.0.0.1/104"s, "10.0.0.1\0junk"s, "1.2.3.4\0/8"s}) {
    EXPECT_FALSE(parse_ip(text.substr(0, text.find('/')))) << text.size();
    EXPECT_FALSE(parse_cidr(text, &cidr)) << text.size();
  }
}

sockaddr_storage socket_address(const char* text) {
  sockaddr_storage storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
  } else if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
  }
  return storage;
}

TEST(ClientPolicyTest, NoRangeAllowsAnyoneElseOnlyTheRanges) {
  struct Case {
    std::vector<std::string> allowed;
    const char* client;
    bool allowed_in;
  } cases[] = {
      {{}, "203.0.113.9", true},
      {{}, "::1", true},
      {{"127.0.0.0/8"}, "127.0.0.1", true},
      {{"127.0.0.0/8"}, "::ffff:127.0.0.1", true},
      {{"127.0.0.0/8"}, "::1", false},
      {{"127.0.0.0/8"}, "192.168.0.7", false},
      {{"192.168.0.0/16", "::1"}, "::1", true},
      {{"192.168.0.0/16", "::1"}, "192.168.44.1", true},
  };
  for (const auto& c : cases) {
    sockaddr_storage address = socket_address(c.client);
    EXPECT_EQ(ClientPolicy(c.allowed).allows(reinterpret_cast<sockaddr*>(&address)), c.allowed_in)
        << c.client;
  }
}

// No range trusts no one (unlike --allow-client, whose empty list serves anyone).
TEST(TrustedProxiesTest, OnlyPeersInTheRangesAreTrusted) {
  struct Case {
    std::vector<std::string> ranges;
    const char* peer;
    bool trusted;
  } cases[] = {
      {{}, "127.0.0.1", false},
      {{}, "::1", false},
      {{"127.0.0.1"}, "127.0.0.1", true},
      {{"127.0.0.1"}, "::ffff:127.0.0.1", true},
      {{"127.0.0.1"}, "127.0.0.2", false},
      {{"127.0.0.1"}, "::1", false},
      {{"10.0.0.0/8", "::1"}, "10.200.0.3", true},
      {{"10.0.0.0/8", "::1"}, "::1", true},
      {{"10.0.0.0/8", "::1"}, "11.0.0.0", false},
  };
  for (const auto& c : cases) {
    sockaddr_storage peer = socket_address(c.peer);
    EXPECT_EQ(TrustedProxies(c.ranges).trusts(reinterpret_cast<sockaddr*>(&peer)), c.trusted)
        << c.peer;
  }
}

}  // namespace
