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

TEST(OriginPolicyTest, DefaultRulesRefuseEveryInternalRange) {
  struct Case {
    const char* address;
    const char* rule;  // "" when allowed
  } cases[] = {
      {"127.0.0.1", "loopback"},
      {"127.255.255.254", "loopback"},
      {"::1", "loopback"},
      {"::ffff:127.0.0.1", "loopback"},
      {"10.1.2.3", "private"},
      {"172.16.0.1", "private"},
      {"172.31.255.255", "private"},
      {"192.168.1.1", "private"},
      {"fd12:3456::1", "private"},
      {"fc00::1", "private"},
      {"::ffff:10.0.0.1", "private"},
      {"::ffff:192.168.0.1", "private"},
      {"169.254.169.254", "link-local"},  // cloud metadata services
      {"fe80::1", "link-local"},
      {"::ffff:169.254.169.254", "link-local"},
      {"100.64.0.1", "shared address space (CGNAT)"},
      {"100.127.255.255", "shared address space (CGNAT)"},
      {"0.0.0.0", "unspecified"},
      {"::", "unspecified"},
      {"224.0.0.1", "multicast"},
      {"239.255.255.250", "multicast"},
      {"ff02::1", "multicast"},
      {"255.255.255.255", "broadcast"},
      {"240.0.0.1", "reserved"},
      {"::7f00:1", "reserved"},              // IPv4-compatible form of 127.0.0.1
      {"64:ff9b::7f00:1", "loopback"},       // 127.0.0.1 behind the NAT64 prefix
      {"64:ff9b::a9fe:a9fe", "link-local"},  // 169.254.169.254 behind NAT64
      // Public addresses, next to the edges of the refused ranges.
      {"8.8.8.8", ""},
      {"172.15.255.255", ""},
      {"172.32.0.0", ""},
      {"100.63.255.255", ""},
      {"100.128.0.0", ""},
      {"11.0.0.1", ""},
      {"2001:4860:4860::8888", ""},
      {"::ffff:8.8.8.8", ""},
      {"64:ff9b::808:808", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(rule_of(c.address), c.rule) << c.address;
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

}  // namespace
