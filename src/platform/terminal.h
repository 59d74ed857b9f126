// The terminal the user watches: whether standard error is one, and how wide it is.
#pragma once

/// True when standard error is a terminal (a console window on Windows), false when it is a
/// file, a pipe or closed.
bool stderr_is_terminal();

/// The width in columns of the terminal on standard error; 0 when standard error is not a
/// terminal or its width is unknown.
int terminal_columns();
