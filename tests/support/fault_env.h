// An environment for tests: the system's files with faults that a test switches on (a disk that
// fills, a sync or a rename that fails, a folder that cannot be made), time from a virtual clock,
// and a record of the steps that make a write durable.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/env.h"
#include "support/virtual_clock.h"

class FaultEnv : public Env {
 public:
  /// Time comes from `clock`; files are `base`'s. Both must outlive the environment.
  explicit FaultEnv(Clock& clock, Env& base = system_env()) : clock_(clock), base_(base) {}

  /// Writes fail as on a full disk once `bytes` more have been written, in all files.
  void fill_disk_after(uint64_t bytes);
  /// Every sync of a file fails; with `silently`, it reports success but does nothing (a disk
  /// that lies), which only the record of steps shows.
  void fail_syncs(bool silently = false);
  void fail_renames();
  /// Every sync of a directory fails; with `only`, only the syncs of that one.
  void fail_directory_syncs(const std::string& only = "");
  void fail_new_directories();
  /// Switches every fault off.
  void heal();
  /// Calls `hook` with the call's name ("open_file", "open_for_reading", "remove_file",
  /// "open_appendable_file", "new_temporary_file" with its folder) and its path before each of
  /// those calls reaches the files, on the calling thread; an empty one stops. A test makes
  /// something happen at that very step (another request, a slow disk).
  using Hook = std::function<void(const std::string& call, const std::string& path)>;
  void set_hook(Hook hook);

  /// The steps taken, in order: "sync <path>", "rename <from> <to>", "sync-directory <path>",
  /// "link <from> <to>".
  std::vector<std::string> steps() const;

  int64_t now() override { return clock_.now(); }
  void sleep_one_second() override { clock_.sleep_one_second(); }
  /// On a virtual clock, a reading that does not end its pause.
  int64_t monotonic_milliseconds() override {
    if (auto* virtual_clock = dynamic_cast<VirtualClock*>(&clock_))
      return virtual_clock->milliseconds();
    return clock_.now() * 1000;
  }
  int64_t wall_milliseconds() override { return clock_.now() * 1000; }

  FilePtr open_file(const std::string& path, const char* mode) override {
    run_hook("open_file", path);
    return base_.open_file(path, mode);
  }
  bool is_directory(const std::string& path) override { return base_.is_directory(path); }
  bool same_file(const std::string& a, const std::string& b) override {
    return base_.same_file(a, b);
  }
  Status make_directory(const std::string& path) override;
  Status new_temporary_file(const std::string& directory, std::string* path,
                            std::unique_ptr<WritableFile>* file, OnInterrupt on_interrupt) override;
  void forget_temporary_file(const std::string& path) override {
    base_.forget_temporary_file(path);
  }
  Status open_appendable_file(const std::string& path, std::unique_ptr<WritableFile>* file,
                              uint64_t* size) override;
  Status rename_file(const std::string& from, const std::string& to) override;
  Status remove_file(const std::string& path) override {
    run_hook("remove_file", path);
    return base_.remove_file(path);
  }
  Status sync_directory(const std::string& path) override;
  Status open_for_reading(const std::string& path, UniqueFd* fd, uint64_t* size) override {
    run_hook("open_for_reading", path);
    return base_.open_for_reading(path, fd, size);
  }
  Status file_info(const std::string& path, FileInfo* info) override {
    return base_.file_info(path, info);
  }
  Status list_directory(const std::string& path, std::vector<std::string>* names) override {
    return base_.list_directory(path, names);
  }
  Status link_file(const std::string& from, const std::string& to) override;
  Status lock_file(const std::string& path, std::unique_ptr<FileLock>* lock,
                   bool* held_elsewhere) override {
    return base_.lock_file(path, lock, held_elsewhere);
  }
  Status check_writable_directory(const std::string& path) override {
    return base_.check_writable_directory(path);
  }

 private:
  class File;
  void record(std::string step);
  void run_hook(const std::string& call, const std::string& path);

  Clock& clock_;
  Env& base_;
  mutable std::mutex mutex_;  // the relay writes from several threads
  bool disk_limited_ = false;
  uint64_t disk_left_ = 0;
  bool syncs_fail_ = false, syncs_lie_ = false, renames_fail_ = false;
  bool directory_syncs_fail_ = false, new_directories_fail_ = false;
  std::string failing_directory_;  // empty: all of them
  std::vector<std::string> steps_;
  std::shared_ptr<Hook> hook_;  // a copy is called, without the lock
};
