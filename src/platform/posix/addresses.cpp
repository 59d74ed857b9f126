// Network addresses written as text, read by the C library.
#include <arpa/inet.h>
#include <netinet/in.h>

#include "platform/addresses.h"

bool is_ipv6_literal(const std::string& text) {
  in6_addr address;
  return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}
