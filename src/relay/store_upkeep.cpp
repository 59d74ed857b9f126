// The store's upkeep: checking the files an earlier run left, and evicting the least recently
// served files above the size cap.
#include <cstdio>
#include <vector>

#include "common/hex.h"
#include "relay/relay_log.h"
#include "relay/store.h"

namespace {

// The file's sha1 and sha256 in hex; none when it cannot be read.
std::optional<std::pair<std::string, std::string>> digests_of_file(Env& env,
                                                                   const std::string& path) {
  FilePtr file = env.open_file(path, "rb");
  if (!file) return std::nullopt;
  Digest sha1(DigestKind::Sha1), sha256(DigestKind::Sha256);
  std::vector<char> buffer(1 << 16);
  size_t got;
  while ((got = fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
    sha1.update(buffer.data(), got);
    sha256.update(buffer.data(), got);
  }
  if (ferror(file.get())) return std::nullopt;
  return std::make_pair(to_hex(sha1.finish()), to_hex(sha256.finish()));
}

}  // namespace

void Store::verify_in_background() {
  std::vector<std::string> names;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [sha1, entry] : entries_)
      if (entry.check == Check::Unchecked) names.push_back(sha1);
  }
  verifier_ = std::thread([this, names = std::move(names)] {
    size_t corrupt = 0;
    for (const std::string& sha1 : names) {
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
      }
      if (!ensure_verified(sha1)) ++corrupt;
    }
    if (!names.empty())
      relay_log("Store: %zu file(s) verified, %zu removed", names.size() - corrupt, corrupt);
  });
}

void Store::wait_until_verified() {
  if (verifier_.joinable()) verifier_.join();
}

bool Store::ensure_verified(const std::string& sha1) {
  std::unique_lock lock(mutex_);
  for (;;) {
    auto entry = entries_.find(sha1);
    if (entry == entries_.end()) return false;
    if (entry->second.check == Check::Verified) return true;
    if (entry->second.check == Check::Unchecked) {
      entry->second.check = Check::Checking;
      break;
    }
    checked_.wait(lock);  // another thread checks it
  }
  lock.unlock();
  const bool good = check_file(sha1);
  if (!good) forget(sha1);  // the names go while the entry still says Checking
  lock.lock();
  if (good) {
    entries_[sha1].check = Check::Verified;
  } else {
    auto entry = entries_.find(sha1);
    bytes_ -= entry->second.size;
    entries_.erase(entry);
    ++removed_.corrupt;
  }
  checked_.notify_all();
  return good;
}

bool Store::check_file(const std::string& sha1) {
  const std::string path = path_of(DigestKind::Sha1, sha1);
  auto digests = digests_of_file(env_, path);
  if (!digests || digests->first != sha1) {
    relay_log("Store: %s is corrupt (%s); removed, to be fetched again on request", sha1.c_str(),
              digests ? "its content has another sha1" : "it cannot be read");
    return false;
  }
  // The sha256 name may be missing: the relay stopped between the two steps of add().
  const std::string sha256_path = path_of(DigestKind::Sha256, digests->second);
  FileInfo named;
  if (!env_.file_info(sha256_path, &named).ok() && !env_.link_file(path, sha256_path).ok())
    relay_log("Store: cannot give %s its sha256 name", sha1.c_str());
  std::lock_guard lock(mutex_);
  sha256_names_[digests->second] = sha1;
  return true;
}

std::vector<std::string> Store::take_sha256_names(const std::string& sha1) {
  std::vector<std::string> names;
  for (auto it = sha256_names_.begin(); it != sha256_names_.end();) {
    if (it->second == sha1) {
      names.push_back(it->first);
      it = sha256_names_.erase(it);
    } else {
      ++it;
    }
  }
  return names;
}

void Store::forget(const std::string& sha1) {
  std::vector<std::string> sha256_names;
  {
    std::lock_guard lock(mutex_);
    sha256_names = take_sha256_names(sha1);
  }
  // A file still being sent keeps its bytes: its open descriptor outlives the names.
  // A name that cannot be removed is found again on the next start, and checked then.
  for (const auto& sha256 : sha256_names) env_.remove_file(path_of(DigestKind::Sha256, sha256));
  env_.remove_file(path_of(DigestKind::Sha1, sha1));
}

void Store::evict_over_cap() {
  for (;;) {
    std::string victim;
    {
      std::lock_guard lock(mutex_);
      if (max_size_ == 0 || bytes_ <= max_size_ || entries_.size() <= 1) return;
      uint64_t oldest = UINT64_MAX;
      for (const auto& [sha1, entry] : entries_)
        if (entry.check != Check::Checking && entry.serving == 0 && entry.last_used < oldest) {
          oldest = entry.last_used;
          victim = sha1;
        }
      if (victim.empty()) return;
      entries_[victim].check = Check::Checking;  // no request opens it while it goes
    }
    forget(victim);
    std::lock_guard lock(mutex_);
    auto entry = entries_.find(victim);
    bytes_ -= entry->second.size;
    entries_.erase(entry);
    ++removed_.evicted;
    checked_.notify_all();
    relay_log("Store: evicted %s to stay under %llu bytes", victim.c_str(),
              static_cast<unsigned long long>(max_size_.load()));
  }
}
