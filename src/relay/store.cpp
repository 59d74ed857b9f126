// The content-addressed store: every file under its SHA-1, and the same file under its SHA-256.
#include "relay/store.h"

#include <map>
#include <vector>

#include "common/hex.h"
#include "relay/relay_log.h"

namespace {

// AtomicFile names its temporary files so.
constexpr std::string_view kTemporaryPrefix = ".quonfetch-";

// Creates `path` and every folder above it that is missing.
Status make_directory_tree(Env& env, const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (!env.is_directory(part)) {
      Status made = env.make_directory(part);
      if (!made.ok()) {
        return Status::failure(
            Status::Code::SystemError,
            "cannot create " + path + ": " + system_error_text(made.error_number()),
            made.error_number());
      }
    }
    if (slash == std::string::npos) break;
  }
  if (!env.is_directory(path)) {
    return Status::failure(Status::Code::SystemError,
                           "cannot create " + path + ": not a directory");
  }
  return Status();
}

}  // namespace

Store::~Store() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  if (verifier_.joinable()) verifier_.join();
}

Status Store::open(const std::string& root) {
  root_ = root;
  Status status = make_directory_tree(env_, root_);
  if (!status.ok()) return status;
  bool held_elsewhere = false;
  Status locked = env_.lock_file(root_ + "/.lock", &lock_, &held_elsewhere);
  if (!locked.ok()) {
    if (!held_elsewhere) return locked;
    return Status::failure(Status::Code::Refused,
                           "the store " + root_ + " is in use by another quonfetch-relay");
  }
  status = make_directory_tree(env_, root_ + "/sha1");
  if (status.ok()) status = make_directory_tree(env_, root_ + "/sha256");
  if (!status.ok()) return status;
  remove_leftovers(root_ + "/sha1");
  remove_leftovers(root_ + "/sha256");
  list_files();
  return Status();
}

std::string Store::path_of(DigestKind kind, std::string_view hex) const {
  return root_ + (kind == DigestKind::Sha1 ? "/sha1/" : "/sha256/") + std::string(hex);
}

void Store::remove_leftovers(const std::string& dir) const {
  std::vector<std::string> names;
  env_.list_directory(dir, &names);  // a folder that cannot be listed has nothing to serve
  for (const std::string& name : names)
    if (name.starts_with(kTemporaryPrefix) || name.ends_with(".link"))
      env_.remove_file(std::string(dir).append("/").append(name));  // never served anyway
}

void Store::list_files() {
  std::map<uint64_t, std::string> sha1_by_id;
  std::vector<std::string> names;
  env_.list_directory(root_ + "/sha1", &names);
  for (const std::string& name : names) {
    FileInfo info;
    if (!is_hex_digest(name, 40) || name != lower_hex(name) ||
        !env_.file_info(root_ + "/sha1/" + name, &info).ok() || !info.regular)
      continue;
    MutexLock lock(mutex_);
    entries_[name] = Entry{info.size, Check::Unchecked, 0, 0, false};
    bytes_ += info.size;
    sha1_by_id[info.id] = name;
  }
  env_.list_directory(root_ + "/sha256", &names);
  for (const std::string& name : names) {
    const std::string path = root_ + "/sha256/" + name;
    FileInfo info;
    if (!env_.file_info(path, &info).ok()) continue;
    auto found = sha1_by_id.find(info.id);
    if (found != sha1_by_id.end()) {
      MutexLock lock(mutex_);
      sha256_names_[name] = found->second;
    } else {
      // A sha256 name without its sha1 file is no longer part of the store; one that cannot be
      // removed would only be found stale again on the next start.
      env_.remove_file(path);
    }
  }
}

std::string Store::sha1_of_name(DigestKind kind, const std::string& hex) const {
  if (kind == DigestKind::Sha1) return hex;
  auto found = sha256_names_.find(hex);
  return found == sha256_names_.end() ? std::string() : found->second;
}

Presence Store::pin(const std::string& sha1) {
  auto entry = entries_.find(sha1);
  if (entry == entries_.end()) return Presence::Absent;
  if (entry->second.check != Check::Verified) return Presence::Unverified;
  entry->second.last_used = ++tick_;
  ++entry->second.serving;
  return Presence::Verified;
}

void Store::verify_next(std::map<std::string, Entry>::iterator entry) {
  if (entry->second.check != Check::Unchecked || entry->second.asked) return;
  entry->second.asked = true;
  to_verify_.push_front(entry->first);
}

Presence Store::open_file(DigestKind kind, std::string_view hex, StoredFile* file) {
  if (!is_hex_digest(hex, digest_hex_length(kind))) return Presence::Absent;
  const std::string lower = lower_hex(hex);
  std::string sha1;
  {
    MutexLock lock(mutex_);
    sha1 = sha1_of_name(kind, lower);
    // Pinned where it is found: eviction cannot take it between the two.
    const Presence found = sha1.empty() ? Presence::Absent : pin(sha1);
    if (found == Presence::Unverified) verify_next(entries_.find(sha1));
    if (found != Presence::Verified) return found;
  }
  StoredFile stored;
  if (!env_.open_for_reading(path_of(kind, lower), &stored.fd, &stored.size).ok()) {
    finished_serving(sha1);
    return Presence::Absent;
  }
  stored.sha1 = sha1;
  *file = std::move(stored);
  return Presence::Verified;
}

void Store::finished_serving(const std::string& sha1) {
  MutexLock lock(mutex_);
  auto entry = entries_.find(sha1);
  if (entry != entries_.end() && entry->second.serving > 0) --entry->second.serving;
}

Presence Store::look_up(std::string_view sha1, uint64_t* size) {
  const std::string name(sha1);
  MutexLock lock(mutex_);
  auto entry = entries_.find(name);
  if (entry == entries_.end()) return Presence::Absent;
  if (entry->second.check != Check::Verified) {
    // The verifier checks it next; the request is answered without waiting for that.
    verify_next(entry);
    return Presence::Unverified;
  }
  // Answered Available: its client comes for it next, so it goes after the others.
  entry->second.last_used = ++tick_;
  *size = entry->second.size;
  return Presence::Verified;
}

std::optional<uint64_t> Store::stored_size(std::string_view sha1) {
  uint64_t size = 0;
  if (look_up(sha1, &size) != Presence::Verified) return std::nullopt;
  return size;
}

bool Store::same_file(std::string_view sha1, std::string_view sha256) const {
  MutexLock lock(mutex_);
  auto found = sha256_names_.find(std::string(sha256));
  return found != sha256_names_.end() && found->second == sha1;
}

Status Store::add(AtomicFile& file, const std::string& sha1, const std::string& sha256) {
  Status committed = file.commit(/*durable=*/true);
  if (!committed.ok()) {
    // The file did not keep the name; an earlier copy it replaced went with it.
    drop_if_gone(sha1);
    return Status::failure(committed.code(),
                           "cannot move the file into the store: " + committed.message(),
                           committed.error_number());
  }
  // The sha1 name is the file's home; the sha256 name is a second link to it. An existing
  // sha256 name from an earlier copy is replaced so that both names meet the same file.
  const std::string sha1_path = path_of(DigestKind::Sha1, sha1);
  const std::string sha256_path = path_of(DigestKind::Sha256, sha256);
  const std::string link_temporary = sha256_path + ".link";
  env_.remove_file(link_temporary);  // a leftover of an earlier failure, if any
  FileInfo info;
  bool renamed = false;
  Status status = env_.link_file(sha1_path, link_temporary);
  if (status.ok()) {
    status = env_.rename_file(link_temporary, sha256_path);
    renamed = status.ok();
  }
  if (status.ok()) status = env_.sync_directory(root_ + "/sha256");
  if (status.ok()) status = env_.file_info(sha1_path, &info);
  if (!status.ok()) {
    // Neither name stays: a name whose folder did not reach the disk may not survive a crash.
    env_.remove_file(renamed ? sha256_path : link_temporary);
    env_.remove_file(sha1_path);
    drop_if_gone(sha1);
    return Status::failure(status.code(), "cannot link the sha256 name: " + status.message(),
                           status.error_number());
  }
  {
    MutexLock lock(mutex_);
    Entry& entry = entries_[sha1];
    bytes_ = bytes_ - entry.size + info.size;
    entry = Entry{info.size, Check::Verified, ++tick_, entry.serving, false};
    sha256_names_[sha256] = sha1;
  }
  evict_over_cap();
  return Status();
}

void Store::drop_if_gone(const std::string& sha1) {
  FileInfo info;
  if (env_.file_info(path_of(DigestKind::Sha1, sha1), &info).ok()) return;
  std::vector<std::string> sha256_names;
  {
    MutexLock lock(mutex_);
    auto entry = entries_.find(sha1);
    if (entry == entries_.end() || entry->second.check == Check::Checking) return;
    bytes_ -= entry->second.size;
    entries_.erase(entry);
    sha256_names = take_sha256_names(sha1);
  }
  // The earlier copy's second name goes too; one that cannot be removed is dropped at the next
  // start, as a sha256 name without its sha1 file.
  for (const auto& sha256 : sha256_names) env_.remove_file(path_of(DigestKind::Sha256, sha256));
}

StoreCounts Store::counts() const {
  MutexLock lock(mutex_);
  StoreCounts counts = removed_;
  counts.files = entries_.size();
  counts.bytes = bytes_;
  return counts;
}
