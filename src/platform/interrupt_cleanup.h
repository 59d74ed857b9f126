// Removes the downloads in progress when the program is interrupted (Ctrl-C, a termination
// request, a closed terminal), so that a stopped run leaves no temporary file behind.
#pragma once

/// How many files the handler keeps at once: one for each fetch the client may run at a time.
inline constexpr int kMaxFilesRemovedOnInterrupt = 64;

/// Installs the handlers. Call once, early in main.
void install_interrupt_cleanup();

/// Adds `path` to the files to remove if an interrupt arrives now. The change is made with
/// interrupts held back, so the handler never sees a half-written name. A file past the first
/// kMaxFilesRemovedOnInterrupt still registered (or, on POSIX, a path of 4096 bytes or more) is
/// not registered, and false tells so; registering a file twice keeps one entry.
bool remove_on_interrupt(const char* path);

/// Takes `path` out of the files to remove on an interrupt; the others stay. A path that is not
/// registered is ignored.
void forget_on_interrupt(const char* path);
