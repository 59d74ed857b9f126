// The content-addressed store: every file under its SHA-1, and the same file under its SHA-256.
#include "relay/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "common/hex.h"
#include "relay/relay_log.h"

namespace fs = std::filesystem;

namespace {

// AtomicFile names its temporary files so.
constexpr std::string_view kTemporaryPrefix = ".quonfetch-";

bool make_directory_tree(const std::string& path, std::string* err) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec || !fs::is_directory(path, ec)) {
    *err = "cannot create " + path + ": " + (ec ? ec.message() : "not a directory");
    return false;
  }
  return true;
}

bool sync_folder(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.get() >= 0 && fsync(fd.get()) == 0;
}

}  // namespace

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Store::~Store() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (verifier_.joinable()) verifier_.join();
}

bool Store::open(const std::string& root, std::string* err) {
  root_ = root;
  if (!make_directory_tree(root_, err)) return false;
  const std::string lock_path = root_ + "/.lock";
  lock_ = UniqueFd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (lock_.get() < 0) {
    *err = "cannot create " + lock_path + ": " + system_error_text(errno);
    return false;
  }
  if (flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
    *err = errno == EWOULDBLOCK ? "the store " + root_ + " is in use by another quonfetch-relay"
                                : "cannot lock " + lock_path + ": " + system_error_text(errno);
    return false;
  }
  if (!make_directory_tree(root_ + "/sha1", err) || !make_directory_tree(root_ + "/sha256", err))
    return false;
  remove_leftovers(root_ + "/sha1");
  remove_leftovers(root_ + "/sha256");
  list_files();
  return true;
}

std::string Store::path_of(DigestKind kind, std::string_view hex) const {
  return root_ + (kind == DigestKind::Sha1 ? "/sha1/" : "/sha256/") + std::string(hex);
}

void Store::remove_leftovers(const std::string& dir) const {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with(kTemporaryPrefix) || name.ends_with(".link")) {
      std::error_code ignored;  // a file that cannot be removed is never served anyway
      fs::remove(entry.path(), ignored);
    }
  }
}

void Store::list_files() {
  std::map<ino_t, std::string> sha1_by_inode;
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(root_ + "/sha1", ec)) {
    std::string name = item.path().filename().string();
    struct stat info;
    if (!is_hex_digest(name, 40) || name != lower_hex(name) ||
        stat(item.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode))
      continue;
    entries_[name] = Entry{static_cast<uint64_t>(info.st_size), Check::Unchecked, 0};
    bytes_ += static_cast<uint64_t>(info.st_size);
    sha1_by_inode[info.st_ino] = name;
  }
  for (const auto& item : fs::directory_iterator(root_ + "/sha256", ec)) {
    struct stat info;
    if (stat(item.path().c_str(), &info) != 0) continue;
    auto found = sha1_by_inode.find(info.st_ino);
    if (found != sha1_by_inode.end()) {
      sha256_names_[item.path().filename().string()] = found->second;
    } else {
      // A sha256 name without its sha1 file is no longer part of the store.
      std::error_code ignored;  // it would only be found stale again on the next start
      fs::remove(item.path(), ignored);
    }
  }
}

std::string Store::sha1_of_name(DigestKind kind, std::string_view hex) {
  if (kind == DigestKind::Sha1) return std::string(hex);
  std::lock_guard lock(mutex_);
  auto found = sha256_names_.find(std::string(hex));
  return found == sha256_names_.end() ? std::string() : found->second;
}

std::optional<StoredFile> Store::open_file(DigestKind kind, std::string_view hex) {
  if (!is_hex_digest(hex, digest_hex_length(kind))) return std::nullopt;
  const std::string lower = lower_hex(hex);
  const std::string sha1 = sha1_of_name(kind, lower);
  if (sha1.empty() || !ensure_verified(sha1)) return std::nullopt;
  StoredFile stored;
  stored.fd = UniqueFd(::open(path_of(kind, lower).c_str(), O_RDONLY | O_CLOEXEC));
  if (stored.fd.get() < 0) return std::nullopt;
  struct stat info;
  if (fstat(stored.fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  stored.size = static_cast<uint64_t>(info.st_size);
  std::lock_guard lock(mutex_);
  auto entry = entries_.find(sha1);
  if (entry != entries_.end()) {
    entry->second.last_used = ++tick_;
    ++entry->second.serving;
    stored.sha1 = sha1;
  }
  return stored;
}

void Store::finished_serving(const std::string& sha1) {
  std::lock_guard lock(mutex_);
  auto entry = entries_.find(sha1);
  if (entry != entries_.end() && entry->second.serving > 0) --entry->second.serving;
}

std::optional<uint64_t> Store::stored_size(std::string_view sha1) {
  const std::string name(sha1);
  if (!ensure_verified(name)) return std::nullopt;
  std::lock_guard lock(mutex_);
  auto entry = entries_.find(name);
  if (entry == entries_.end()) return std::nullopt;
  return entry->second.size;
}

bool Store::same_file(std::string_view sha1, std::string_view sha256) const {
  std::lock_guard lock(mutex_);
  auto found = sha256_names_.find(std::string(sha256));
  return found != sha256_names_.end() && found->second == sha1;
}

bool Store::add(AtomicFile& file, const std::string& sha1, const std::string& sha256,
                std::string* err) {
  std::string why;
  if (!file.commit(&why, /*durable=*/true)) {
    *err = "cannot move the file into the store: " + why;
    return false;
  }
  // The sha1 name is the file's home; the sha256 name is a second link to it. An existing
  // sha256 name from an earlier copy is replaced so that both names meet the same file.
  const std::string sha1_path = path_of(DigestKind::Sha1, sha1);
  const std::string sha256_path = path_of(DigestKind::Sha256, sha256);
  const std::string link_temporary = sha256_path + ".link";
  unlink(link_temporary.c_str());  // a leftover of an earlier failure, if any
  struct stat info;
  if (link(sha1_path.c_str(), link_temporary.c_str()) != 0 ||
      rename(link_temporary.c_str(), sha256_path.c_str()) != 0 ||
      !sync_folder(root_ + "/sha256") || stat(sha1_path.c_str(), &info) != 0) {
    *err = "cannot link the sha256 name: " + system_error_text(errno);
    unlink(link_temporary.c_str());
    unlink(sha1_path.c_str());
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[sha1];
    bytes_ = bytes_ - entry.size + static_cast<uint64_t>(info.st_size);
    entry = Entry{static_cast<uint64_t>(info.st_size), Check::Verified, ++tick_};
    sha256_names_[sha256] = sha1;
  }
  evict_over_cap();
  return true;
}

StoreCounts Store::counts() const {
  std::lock_guard lock(mutex_);
  StoreCounts counts = removed_;
  counts.files = entries_.size();
  counts.bytes = bytes_;
  return counts;
}
