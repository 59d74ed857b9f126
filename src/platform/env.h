// The environment: every call the programs make into the operating system for files and time,
// behind one interface, so that tests can make a disk fill, a sync or a rename fail, or time jump.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/status.h"
#include "platform/unique_fd.h"

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

/// Whether an interrupt of the program removes a temporary file: the client's download does,
/// through the process-wide handler; files written by several threads at once (the relay's) keep
/// out of it and are removed by their owners.
enum class OnInterrupt { Keep, Remove };

/// What file_info() tells of one file.
struct FileInfo {
  bool regular = false;  ///< a plain file: not a folder, a device or a pipe
  uint64_t size = 0;
  /// One number for every name of one file on its volume (the inode); two names with the same
  /// id on one volume are links to one file.
  uint64_t id = 0;
};

/// An exclusive lock on a file, held until this is destroyed (or the process ends).
class FileLock {
 public:
  virtual ~FileLock() = default;
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
  /// to `path`. With OnInterrupt::Remove, an interrupt of the program removes it until
  /// forget_temporary_file(path): one of the interrupt handler's files (interrupt_cleanup.h),
  /// which keeps at most 64 at a time, so only a program that writes at most 64 such files at a
  /// time, from one thread, may ask for it. A 65th is made all the same but not registered: an
  /// interrupt leaves it behind.
  virtual Status new_temporary_file(const std::string& directory, std::string* path,
                                    std::unique_ptr<WritableFile>* file,
                                    OnInterrupt on_interrupt) = 0;
  /// The file at `path`, made by new_temporary_file() with OnInterrupt::Remove, is no longer the
  /// interrupt handler's to remove; the other files it keeps stay registered.
  virtual void forget_temporary_file(const std::string& path) = 0;
  /// Opens the plain file at `path` for writing at its end, creating it when missing; its size
  /// goes to `size`. It is no temporary file: an interrupt leaves it, and its bytes, where they
  /// are. Anything but a plain file is refused.
  virtual Status open_appendable_file(const std::string& path, std::unique_ptr<WritableFile>* file,
                                      uint64_t* size) = 0;
  /// Moves `from` onto `to`, replacing what is there, in one step.
  virtual Status rename_file(const std::string& from, const std::string& to) = 0;
  virtual Status remove_file(const std::string& path) = 0;
  /// Makes the entries of the directory (a rename into it) reach the disk.
  virtual Status sync_directory(const std::string& path) = 0;

  /// Milliseconds on a clock that only moves forward, from an unspecified start.
  virtual int64_t monotonic_milliseconds() = 0;
  /// Milliseconds since 1970-01-01 UTC: the time of day, for stamps a person reads.
  virtual int64_t wall_milliseconds() = 0;

  // What the relay's store asks besides.

  /// Opens the plain file at `path` for reading: its descriptor goes to `fd`, its size to `size`.
  /// Anything but a plain file is refused.
  virtual Status open_for_reading(const std::string& path, UniqueFd* fd, uint64_t* size) = 0;
  /// What `path` is (following links); fails when nothing is there.
  virtual Status file_info(const std::string& path, FileInfo* info) = 0;
  /// The names of the entries of the directory, without "." and "..", in no particular order;
  /// none when it cannot be listed.
  virtual Status list_directory(const std::string& path, std::vector<std::string>* names) = 0;
  /// Gives the file `from` a second name `to` (a hard link); fails when `to` exists.
  virtual Status link_file(const std::string& from, const std::string& to) = 0;
  /// Takes an exclusive lock on the file at `path` (created when missing), without waiting. When
  /// another process holds it, fails with `*held_elsewhere` set.
  virtual Status lock_file(const std::string& path, std::unique_ptr<FileLock>* lock,
                           bool* held_elsewhere) = 0;
  /// Succeeds when new files can be written in the directory: it is there, this process may
  /// write in it, and its volume is not mounted read-only.
  virtual Status check_writable_directory(const std::string& path) = 0;
};

/// The operating system's environment, for the whole process.
Env& system_env();
