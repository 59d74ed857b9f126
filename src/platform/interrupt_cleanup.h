// Removes the download in progress when the program is interrupted (Ctrl-C, a termination
// request, a closed terminal), so that a stopped run leaves no temporary file behind.
#pragma once

/// Installs the handlers. Call once, early in main.
void install_interrupt_cleanup();

/// Names the file to remove if an interrupt arrives now; nullptr forgets it. The change is made
/// with interrupts held back, so the handler never sees a half-written name.
void remove_on_interrupt(const char* path);
