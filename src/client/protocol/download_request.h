// The download request: announcing one record to the relay and filing it by the relay's answer.
#pragma once

#include <optional>
#include <string>

#include "client/records/run_state.h"

/// The two-line request body for `download`, with its origin URL percent-encoded. Ends the run
/// when the URL cannot be encoded.
std::string build_request_body(RunState& state, const Download& download);

/// Announces `download` to the relay at `url` and files it on the available or in-process
/// queue by the answered status (or on neither). Returns the URL the next request must use.
std::optional<std::string> send_download_request(RunState& state,
                                                 const std::optional<std::string>& url,
                                                 Download* download);
