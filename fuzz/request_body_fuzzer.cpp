// Fuzzes the relay's reading of a download request: any body must either be refused with a
// one-line reason or give the required fields, and what the relay would then do with them
// (percent-encoding, the size check, the usability test) must hold up too.
#include <cstdint>
#include <string>
#include <string_view>

#include "relay/request_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  DownloadAsk ask;
  Status parsed = parse_request_body(body, &ask);
  if (!parsed.ok()) {
    const std::string& reason = parsed.message();
    if (reason.empty() || reason.find('\n') != std::string::npos) __builtin_trap();
    return 0;
  }
  if (ask.sha256 && ask.sha256->empty()) __builtin_trap();
  // Encoding and decoding give back the same bytes, whatever they are.
  std::optional<std::string> round_trip = percent_decode(percent_encode(ask.url));
  if (!round_trip || *round_trip != ask.url) __builtin_trap();
  std::string reason = unusable_reason(ask, false);
  if (reason.find('\n') != std::string::npos) __builtin_trap();
  if (reason.empty()) {
    // A usable request names digests that can only ever be store file names.
    if (ask.sha1.size() != 40 || ask.sha1.find_first_of("/.") != std::string::npos)
      __builtin_trap();
  }
  numeric_size(ask.size);
  std::string reply = format_status_reply(RelayStatus::Failed, reason);
  if (reply.compare(0, 15, "0\naid=0,status=") != 0 || reply.back() != '\n' ||
      reply.find('\n', 2) != reply.size() - 1)
    __builtin_trap();
  return 0;
}
