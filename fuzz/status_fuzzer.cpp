// Fuzzes the reply-status parse: the token it stores is a NUL-terminated run of letters,
// digits and '_' that fits the buffer, and the buffer is untouched when no token is found.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "relay/download_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the buffer size; the rest is the reply.
  size_t token_size = 1 + data[0] % 160;
  std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<char> token(token_size + 8, '#');
  int found = parse_status(reply.c_str(), token.data(), token_size);
  for (size_t i = token_size; i < token.size(); ++i)
    if (token[i] != '#') __builtin_trap();  // never written past the buffer
  if (!found) {
    for (size_t i = 0; i < token_size; ++i)
      if (token[i] != '#') __builtin_trap();
    return 0;
  }
  size_t length = strnlen(token.data(), token_size);
  if (length == token_size) __builtin_trap();  // not terminated inside the buffer
  if (length == 0 && token_size > 1) __builtin_trap();
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(token[i]);
    if (!std::isalnum(c) && c != '_') __builtin_trap();
  }
  if (reply.compare(0, 2, "0\n") != 0 || reply.find("aid=") == std::string::npos)
    __builtin_trap();
  return 0;
}
