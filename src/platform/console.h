// The console: how lines end, and what the program's own streams need before the first line.
#pragma once

/// The line ending of the text this program writes: "\n", or "\r\n" on Windows.
const char* line_ending();

/// Prepares standard output for the program's lines: a closed standard output makes writes fail
/// instead of ending the process, and on Windows the runtime translates no line end of its own.
/// Call once, early in main.
void init_console();
