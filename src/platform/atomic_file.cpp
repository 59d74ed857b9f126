// A file that appears under its name only once it has been written whole, through the Env.
#include "platform/atomic_file.h"

#include <utility>

#include "platform/directories.h"

AtomicFile::AtomicFile(std::string target_path, Env& env, OnInterrupt on_interrupt)
    : env_(env), on_interrupt_(on_interrupt), target_path_(std::move(target_path)) {
  Status created =
      env_.new_temporary_file(directory_of(target_path_), &temporary_path_, &file_, on_interrupt_);
  if (!created.ok()) {
    fail(created);
    file_.reset();
    temporary_path_.clear();
  }
}

AtomicFile::~AtomicFile() {
  if (!committed_) discard();
}

void AtomicFile::fail(const Status& status) {
  error_number_ = status.error_number();
  error_text_ = status.message();
}

void AtomicFile::discard() {
  file_.reset();  // closes it
  if (temporary_path_.empty()) return;
  env_.remove_file(temporary_path_);  // nothing more can be done when this fails
  if (on_interrupt_ == OnInterrupt::Remove) env_.forget_temporary_file(temporary_path_);
  temporary_path_.clear();
}

bool AtomicFile::write(const void* data, size_t length) {
  if (!file_) return false;
  Status written = file_->append(std::string_view(static_cast<const char*>(data), length));
  if (written.ok()) return true;
  fail(written);
  return false;
}

Status AtomicFile::commit(bool durable) {
  if (!file_) return Status::failure(Status::Code::SystemError, error_text_, error_number_);
  Status status = durable ? file_->sync() : Status();
  Status closed = file_->close();
  file_.reset();
  if (status.ok()) status = closed;
  if (status.ok()) status = env_.rename_file(temporary_path_, target_path_);
  if (status.ok() && durable) {
    status = env_.sync_directory(directory_of(target_path_));
    // The name may not survive a crash: false must mean that the file did not take its name,
    // so it does not keep it.
    if (!status.ok()) env_.remove_file(target_path_);
  }
  if (!status.ok()) {
    fail(status);
    discard();
    return status;
  }
  committed_ = true;
  if (on_interrupt_ == OnInterrupt::Remove) env_.forget_temporary_file(temporary_path_);
  return Status();
}
