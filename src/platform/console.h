// The console: how lines end, and what the program's own streams need before the first line.
#pragma once

#include <string_view>

/// The line ending of the text this program writes: "\n", or "\r\n" on Windows.
const char* line_ending();

/// Prepares standard output for the program's lines: a closed standard output makes writes fail
/// instead of ending the process, and on Windows the runtime translates no line end of its own.
/// Call once, early in main.
void init_console();

/// Writes `text` to standard output in one piece and flushes it, so that a console is handed each
/// line whole (a UTF-8 character split across two writes shows as two wrong ones). A failed write
/// is ignored.
void write_standard_output(std::string_view text);

/// Gives the console back the state the program found it in (on Windows, the user's output code
/// page). Called at every exit, also from the interrupt handler; safe to call more than once.
void restore_console();
