// The environment: every call the programs make into the operating system for files and time,
// behind one interface, so that tests can make a disk fill, a sync or a rename fail, or time jump.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/status.h"

/// A file being written: the temporary file of an AtomicFile.
class WritableFile {
 public:
  /// Closes the file if it is still open; a failure then goes unreported.
  virtual ~WritableFile() = default;
  /// Writes all of `data`, unbuffered.
  virtual Status append(std::string_view data) = 0;
  /// Makes what was written reach the disk.
  virtual Status sync() = 0;
  /// Closes the file, checking that every byte reached it. Closing twice does nothing.
  virtual Status close() = 0;
};

/// What the programs ask of the operating system. main() uses system_env(); tests pass their
/// own, which may wrap it and inject faults. The clock half (now, the one-second wait) is the
/// Clock interface.
class Env : public Clock {
 public:
  /// Opens the file at `path` (UTF-8) with fopen's `mode`; null when it cannot be opened.
  virtual FilePtr open_file(const std::string& path, const char* mode) = 0;
  /// True when `path` names a directory.
  virtual bool is_directory(const std::string& path) = 0;
  /// True when both paths name one existing file on disk, however each is spelled.
  virtual bool same_file(const std::string& a, const std::string& b) = 0;
  /// Creates one directory (not its parents); an existing entry of that name is accepted.
  virtual Status make_directory(const std::string& path) = 0;

  /// Creates a new file of a name no other file has, in `directory`, for writing; its path goes
  /// to `path`. Until forget_temporary_file(), an interrupt of the program removes it.
  virtual Status new_temporary_file(const std::string& directory, std::string* path,
                                    std::unique_ptr<WritableFile>* file) = 0;
  /// The file made by new_temporary_file() is no longer the interrupt handler's to remove.
  virtual void forget_temporary_file() = 0;
  /// Moves `from` onto `to`, replacing what is there, in one step.
  virtual Status rename_file(const std::string& from, const std::string& to) = 0;
  virtual Status remove_file(const std::string& path) = 0;
  /// Makes the entries of the directory (a rename into it) reach the disk.
  virtual Status sync_directory(const std::string& path) = 0;

  /// Milliseconds on a clock that only moves forward, from an unspecified start.
  virtual int64_t monotonic_milliseconds() = 0;
};

/// The operating system's environment, for the whole process.
Env& system_env();
