// The polling driver: announce every record, poll while the relay works, fetch what is ready.
#pragma once

#include "records/run_state.h"

/// Runs the whole exchange with the relay for the records of the request queue and ends with
/// the count of files downloaded. Returns when both work queues are empty or the deadline has
/// passed.
void run_downloads(RunState& state);
