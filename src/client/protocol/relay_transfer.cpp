// The libcurl options of every exchange between the client and the relay.
#include "client/protocol/relay_transfer.h"

#include <cstring>

void set_relay_transfer_options(const TransferHandle& handle, const char* url,
                                const TransferLimits& limits) {
  const bool https = url && strncmp(url, "https", 5) == 0;
  set_common_transfer_options(handle.get(), url, limits, handle.share(),
                              https ? TlsChecks::Off : TlsChecks::Default);
  // Over https a relay that speaks HTTP/2 carries every exchange on one connection: a transfer
  // that starts while that connection is being made waits to share it rather than open another.
  if (https) curl_easy_setopt(handle.get(), CURLOPT_PIPEWAIT, 1L);
}
