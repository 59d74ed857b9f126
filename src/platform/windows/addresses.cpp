// Network addresses written as text, read by Windows' own parser.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/addresses.h"

bool is_ipv6_literal(const std::string& text) {
  IN6_ADDR address;
  return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}
