// A file that appears under its name only once it has been written whole.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/env.h"

/// Writes go to a temporary file in the target's directory; commit() moves it onto the target
/// (D4: a download never damages a file of its name).
/// Without a successful commit the temporary file is removed and the target stays untouched;
/// with OnInterrupt::Remove also when the program is interrupted (see interrupt_cleanup.h) while
/// the file is open: up to 64 such files at a time, from one thread, each forgotten by the
/// handler only when its own commit or removal is done. Without it the interrupt handler is never
/// touched, so that several threads may each write one.
class AtomicFile {
 public:
  /// Creates the temporary file through `env`. is_open() tells whether that worked.
  explicit AtomicFile(std::string target_path, Env& env = system_env(),
                      OnInterrupt on_interrupt = OnInterrupt::Keep);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  /// True when the temporary file was created and can take writes.
  bool is_open() const { return file_ != nullptr; }
  const std::string& target_path() const { return target_path_; }
  const std::string& temporary_path() const { return temporary_path_; }
  /// The system's error number of the last failure (creation, write or commit); 0 when none.
  int error_number() const { return error_number_; }
  /// The last failure as a person reads it: the step that failed and the system's own reason.
  const std::string& error_text() const { return error_text_; }

  /// Writes all `length` bytes, unbuffered. False when any could not be written.
  bool write(const void* data, size_t length);

  /// Closes the temporary file (checking that every byte reached it; with `durable`, also that
  /// it and its directory reached the disk) and renames it onto the target, replacing it.
  /// Ok when the file took its name; otherwise the failure of the step that failed (or of the
  /// file's creation or last write), and the temporary file is removed.
  Status commit(bool durable = false);

 private:
  void discard();
  void fail(const Status& status);

  Env& env_;
  OnInterrupt on_interrupt_;
  std::string target_path_;
  std::string temporary_path_;
  std::unique_ptr<WritableFile> file_;  ///< null once closed, or when it could not be made
  int error_number_ = 0;
  std::string error_text_;
  bool committed_ = false;
};
