// The download request: announcing one record to the relay and filing it by the relay's answer.
#pragma once

#include <optional>
#include <string>

#include "client/records/run_state.h"
#include "common/task.h"
#include "platform/status.h"

/// The two-line request body for `download`, with its origin URL percent-encoded, into `body`.
/// A Fatal status when the URL cannot be encoded.
Status build_request_body(RunState& state, const Download& download, std::string* body);

/// Announces `download` to the relay at `url` and files it on the available or in-process
/// queue by the answered status (or on neither), as an exchange on the run's loop. When the
/// request moved to https, `url` moves there too, for every request made after it. A Fatal
/// status when the run cannot go on. `url` and `download` must outlive the task.
Task<Status> send_download_request(RunState& state, std::optional<std::string>& url,
                                   Download* download);
