// The libcurl options of every exchange between the client and the relay.
#pragma once

#include "common/curl_handles.h"

/// Sets the options of an exchange with the relay on `handle`: the options every transfer
/// shares, the run's `limits` and the handle's connection cache, and no certificate or
/// host-name checks when `url` itself begins with "https" (the digest check protects the
/// files; the relay's certificate is usually its own).
void set_relay_transfer_options(const TransferHandle& handle, const char* url,
                                const TransferLimits& limits);
