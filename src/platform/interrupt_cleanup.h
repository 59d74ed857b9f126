// Removes the download in progress when the program is interrupted (SIGINT, SIGTERM, SIGHUP),
// so that a stopped run leaves no temporary file behind.
#pragma once

/// Installs the signal handlers. Call once, early in main.
void install_interrupt_cleanup();

/// Names the file to remove if a signal arrives now; nullptr forgets it. Paths longer than
/// 4095 bytes are not remembered.
void remove_on_interrupt(const char* path);
