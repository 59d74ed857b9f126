// An environment for tests: the system's files with faults switched on by the test.
#include "support/fault_env.h"

#include <cerrno>

class FaultEnv::File final : public WritableFile {
 public:
  File(FaultEnv& env, std::string path, std::unique_ptr<WritableFile> base)
      : env_(env), path_(std::move(path)), base_(std::move(base)) {}

  Status append(std::string_view data) override {
    size_t allowed = data.size();
    {
      std::lock_guard<std::mutex> lock(env_.mutex_);
      if (env_.disk_limited_) {
        allowed = static_cast<size_t>(std::min<uint64_t>(allowed, env_.disk_left_));
        env_.disk_left_ -= allowed;
      }
    }
    Status written = base_->append(data.substr(0, allowed));
    if (!written.ok()) return written;
    if (allowed < data.size()) return Status::system_error("cannot write the file", ENOSPC);
    return Status();
  }

  Status sync() override {
    {
      std::lock_guard<std::mutex> lock(env_.mutex_);
      if (env_.syncs_fail_ && !env_.syncs_lie_)
        return Status::system_error("cannot write the file to disk", EIO);
      if (env_.syncs_lie_) return Status();
    }
    env_.record("sync " + path_);
    return base_->sync();
  }

  Status close() override { return base_->close(); }

 private:
  FaultEnv& env_;
  std::string path_;
  std::unique_ptr<WritableFile> base_;
};

void FaultEnv::fill_disk_after(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  disk_limited_ = true;
  disk_left_ = bytes;
}

void FaultEnv::fail_syncs(bool silently) {
  std::lock_guard<std::mutex> lock(mutex_);
  syncs_fail_ = true;
  syncs_lie_ = silently;
}

void FaultEnv::fail_renames() {
  std::lock_guard<std::mutex> lock(mutex_);
  renames_fail_ = true;
}

void FaultEnv::fail_directory_syncs(const std::string& only) {
  std::lock_guard<std::mutex> lock(mutex_);
  directory_syncs_fail_ = true;
  failing_directory_ = only;
}

void FaultEnv::fail_new_directories() {
  std::lock_guard<std::mutex> lock(mutex_);
  new_directories_fail_ = true;
}

void FaultEnv::heal() {
  std::lock_guard<std::mutex> lock(mutex_);
  disk_limited_ = syncs_fail_ = syncs_lie_ = renames_fail_ = false;
  directory_syncs_fail_ = new_directories_fail_ = false;
}

void FaultEnv::set_hook(Hook hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = hook ? std::make_shared<Hook>(std::move(hook)) : nullptr;
}

void FaultEnv::run_hook(const std::string& call, const std::string& path) {
  std::shared_ptr<Hook> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = hook_;
  }
  if (hook) (*hook)(call, path);
}

std::vector<std::string> FaultEnv::steps() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return steps_;
}

void FaultEnv::record(std::string step) {
  std::lock_guard<std::mutex> lock(mutex_);
  steps_.push_back(std::move(step));
}

Status FaultEnv::make_directory(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (new_directories_fail_) return Status::system_error("cannot create " + path, EACCES);
  }
  return base_.make_directory(path);
}

Status FaultEnv::new_temporary_file(const std::string& directory, std::string* path,
                                    std::unique_ptr<WritableFile>* file, OnInterrupt on_interrupt) {
  run_hook("new_temporary_file", directory);
  std::unique_ptr<WritableFile> base_file;
  Status created = base_.new_temporary_file(directory, path, &base_file, on_interrupt);
  if (created.ok()) *file = std::make_unique<File>(*this, *path, std::move(base_file));
  return created;
}

Status FaultEnv::open_appendable_file(const std::string& path, std::unique_ptr<WritableFile>* file,
                                      uint64_t* size) {
  run_hook("open_appendable_file", path);
  std::unique_ptr<WritableFile> base_file;
  Status opened = base_.open_appendable_file(path, &base_file, size);
  if (opened.ok()) *file = std::make_unique<File>(*this, path, std::move(base_file));
  return opened;
}

Status FaultEnv::rename_file(const std::string& from, const std::string& to) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (renames_fail_) return Status::system_error("cannot rename the file", EXDEV);
  }
  record("rename " + from + " " + to);
  return base_.rename_file(from, to);
}

Status FaultEnv::sync_directory(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (directory_syncs_fail_ && (failing_directory_.empty() || failing_directory_ == path))
      return Status::system_error("cannot write the directory to disk", EIO);
  }
  record("sync-directory " + path);
  return base_.sync_directory(path);
}

Status FaultEnv::link_file(const std::string& from, const std::string& to) {
  record("link " + from + " " + to);
  return base_.link_file(from, to);
}
