// Numeric network addresses as the C library reads them.
#include "platform/ip_addresses.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string>

std::optional<IpAddress> parse_ip(std::string_view text) {
  // inet_pton would read only up to a NUL byte and take the rest for the end of the text.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  std::string copy(text);
  IpAddress address{};
  in_addr address4;
  if (inet_pton(AF_INET, copy.c_str(), &address4) == 1) {
    address = kMappedPrefix;
    memcpy(address.data() + 12, &address4, 4);
    return address;
  }
  if (inet_pton(AF_INET6, copy.c_str(), address.data()) == 1) return address;
  return std::nullopt;
}

std::optional<IpAddress> ip_of(const sockaddr* address) {
  if (!address) return std::nullopt;
  IpAddress ip{};
  if (address->sa_family == AF_INET) {
    ip = kMappedPrefix;
    memcpy(ip.data() + 12, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
    return ip;
  }
  if (address->sa_family == AF_INET6) {
    memcpy(ip.data(), &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
    return ip;
  }
  return std::nullopt;
}

std::string ip_text(const IpAddress& address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (std::equal(kMappedPrefix.begin(), kMappedPrefix.begin() + 12, address.begin()))
    inet_ntop(AF_INET, address.data() + 12, text, sizeof text);
  else
    inet_ntop(AF_INET6, address.data(), text, sizeof text);
  return text;
}
