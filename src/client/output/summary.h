// The closing summary for a person at a terminal: which files did not arrive, and why.
#pragma once

#include <cstdio>

#include "client/records/run_state.h"

/// Writes to `out` one line per record of the run that was not downloaded, with its file name,
/// its sha1 and the reason it kept, under a heading; nothing when every file arrived.
void write_not_downloaded(const RunState& state, FILE* out);
