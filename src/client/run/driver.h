// The polling driver: announce every record, poll while the relay works, fetch what is ready.
#pragma once

#include <string>

#include "client/records/run_state.h"
#include "platform/status.h"

/// The relay's base URL, "http://%s:%d" of the relay and port (cut to 2047 bytes); an IPv6
/// address literal is placed in brackets.
std::string relay_base_url(const Settings& settings);

/// Runs the whole exchange with the relay for the records of the request queue and ends with
/// the count of files downloaded. Returns when both work queues are empty or the deadline has
/// passed; a Fatal status, before the count, when the run cannot go on (the output folder
/// cannot be made, memory runs out). Each record that did not arrive keeps why in `failure`.
Status run_downloads(RunState& state);
