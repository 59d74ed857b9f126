// Fuzzes the address ranges of --allow-origin and --allow-client: an accepted range is written
// only with an address's own characters, holds its own base address, and written back out in
// its plain form reads as the same network.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "relay/address_policy.h"

namespace {

// The range in plain notation: IPv4 for a mapped address whose prefix covers the mapping.
std::string format(const Cidr& cidr) {
  static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  char text[INET6_ADDRSTRLEN];
  if (cidr.prefix >= 96 && memcmp(cidr.base.data(), mapped, 12) == 0) {
    inet_ntop(AF_INET, cidr.base.data() + 12, text, sizeof text);
    return std::string(text) + "/" + std::to_string(cidr.prefix - 96);
  }
  inet_ntop(AF_INET6, cidr.base.data(), text, sizeof text);
  return std::string(text) + "/" + std::to_string(cidr.prefix);
}

bool same_network(const Cidr& a, const Cidr& b) {
  return a.prefix == b.prefix && in_range(a.base, b) && in_range(b.base, a);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Cidr cidr;
  if (!parse_cidr(text, &cidr)) return 0;
  if (cidr.prefix < 0 || cidr.prefix > 128) __builtin_trap();
  if (text.find_first_not_of("0123456789abcdefABCDEF.:/") != std::string_view::npos)
    __builtin_trap();
  if (!in_range(cidr.base, cidr)) __builtin_trap();

  Cidr again;
  if (!parse_cidr(format(cidr), &again) || !same_network(cidr, again)) __builtin_trap();
  // The address alone is the one address.
  std::string_view address = text.substr(0, text.find('/'));
  Cidr one;
  if (!parse_cidr(address, &one) || one.prefix != 128 || one.base != cidr.base) __builtin_trap();
  return 0;
}
