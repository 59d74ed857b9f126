// Where a fetch's bytes wait until its body has passed its check.
#include "client/protocol/fetch_file.h"

#include <utility>

#include "common/hex.h"
#include "platform/directories.h"

namespace {

constexpr size_t kSha1HexLength = 40;

Status file_failure(const AtomicFile& file) {
  return Status::failure(Status::Code::SystemError, file.error_text(), file.error_number());
}

}  // namespace

FetchFile::FetchFile(Env& env, std::string target, std::optional<std::string> part)
    : env_(env), target_(std::move(target)), part_path_(std::move(part)) {
  // A part file that cannot be opened (a folder of its name, a file of another owner) leaves
  // the fetch to a temporary file, as without -c.
  if (part_path_ && open_part()) return;
  part_path_.reset();
  failure_ = Status();
  // Every download of the run: an interrupt removes its temporary file.
  temporary_.emplace(target_, env_, OnInterrupt::Remove);
  if (!temporary_->is_open()) failure_ = file_failure(*temporary_);
}

FetchFile::~FetchFile() {
  if (!part_) return;
  // A failure leaves what reached the file, which the next run checks; a part that never got a
  // byte is no use to it.
  part_->close();
  if (size_ == 0) discard();
}

bool FetchFile::open_part() {
  part_.reset();
  failure_ = env_.open_appendable_file(*part_path_, &part_, &size_);
  if (failure_.ok()) return true;
  part_.reset();
  size_ = 0;
  return false;
}

bool FetchFile::is_open() const {
  return part_ != nullptr || (temporary_ && temporary_->is_open());
}

bool FetchFile::write(const char* data, size_t length) {
  if (part_) {
    failure_ = part_->append(std::string_view(data, length));
  } else if (temporary_ && !temporary_->write(data, length)) {
    failure_ = file_failure(*temporary_);
  }
  if (!failure_.ok() || !is_open()) return false;
  size_ += length;
  return true;
}

bool FetchFile::restart() {
  if (part_path_) {
    discard();
    return open_part();
  }
  temporary_.emplace(target_, env_, OnInterrupt::Remove);
  size_ = 0;
  if (temporary_->is_open()) return true;
  failure_ = file_failure(*temporary_);
  return false;
}

Status FetchFile::commit() {
  if (temporary_) {
    if (temporary_->commit().ok()) return Status();
    failure_ = file_failure(*temporary_);
    return failure_;
  }
  if (!part_) return failure_;
  failure_ = part_->close();
  part_.reset();
  if (failure_.ok()) failure_ = env_.rename_file(*part_path_, target_);
  if (!failure_.ok()) discard();
  return failure_;
}

void FetchFile::discard() {
  if (temporary_) {
    temporary_.reset();
    return;
  }
  part_.reset();
  if (part_path_) env_.remove_file(*part_path_);  // nothing more can be done when this fails
  size_ = 0;
}

std::optional<std::string> part_file_path(const std::string& target,
                                          const std::optional<std::string>& sha1) {
  if (!sha1 || !is_hex_digest(*sha1, kSha1HexLength)) return std::nullopt;
  return join_path(directory_of(target), ".quonfetch-" + lower_hex(*sha1) + ".part");
}
