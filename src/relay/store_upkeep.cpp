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
  {
    MutexLock lock(mutex_);
    for (const auto& [sha1, entry] : entries_)
      if (entry.check == Check::Unchecked) to_verify_.push_back(sha1);
  }
  verifier_ = std::thread([this] { run_verifier(); });
}

void Store::wait_until_verified() {
  if (verifier_.joinable()) verifier_.join();
}

void Store::run_verifier() {
  size_t checked = 0, corrupt = 0;
  for (;;) {
    std::string sha1;
    {
      MutexLock lock(mutex_);
      if (!claim_next_unchecked(&sha1)) break;
    }
    ++checked;
    if (!verify_claimed(sha1)) ++corrupt;
  }
  if (checked != 0)
    relay_log("Store: %zu file(s) verified, %zu removed", checked - corrupt, corrupt);
}

bool Store::claim_next_unchecked(std::string* sha1) {
  while (!stopping_ && !to_verify_.empty()) {
    std::string next = std::move(to_verify_.front());
    to_verify_.pop_front();
    auto entry = entries_.find(next);
    if (entry == entries_.end() || entry->second.check != Check::Unchecked) continue;
    entry->second.check = Check::Checking;
    *sha1 = std::move(next);
    return true;
  }
  return false;
}

bool Store::verify_claimed(const std::string& sha1) {
  const bool good = check_file(sha1);
  if (!good) forget(sha1);  // the names go while the entry still says Checking
  MutexLock lock(mutex_);
  auto entry = entries_.find(sha1);
  if (good) {
    entry->second.check = Check::Verified;
  } else {
    bytes_ -= entry->second.size;
    entries_.erase(entry);
    ++removed_.corrupt;
  }
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
  MutexLock lock(mutex_);
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
    MutexLock lock(mutex_);
    sha256_names = take_sha256_names(sha1);
  }
  // A file still being sent keeps its bytes: its open descriptor outlives the names.
  // A name that cannot be removed is found again on the next start, and checked then.
  for (const auto& sha256 : sha256_names) env_.remove_file(path_of(DigestKind::Sha256, sha256));
  env_.remove_file(path_of(DigestKind::Sha1, sha1));
}

std::string Store::claim_eviction_victim() {
  if (max_size_ == 0 || bytes_ <= max_size_ || entries_.size() <= 1) return {};
  std::string victim;
  uint64_t oldest = UINT64_MAX;
  for (const auto& [sha1, entry] : entries_)
    if (entry.check != Check::Checking && entry.serving == 0 && entry.last_used < oldest) {
      oldest = entry.last_used;
      victim = sha1;
    }
  // No request opens it or hears it is stored while its names go.
  if (!victim.empty()) entries_[victim].check = Check::Checking;
  return victim;
}

void Store::evict_over_cap() {
  for (;;) {
    std::string victim;
    {
      MutexLock lock(mutex_);
      victim = claim_eviction_victim();
    }
    if (victim.empty()) return;
    forget(victim);
    {
      MutexLock lock(mutex_);
      auto entry = entries_.find(victim);
      bytes_ -= entry->second.size;
      entries_.erase(entry);
      ++removed_.evicted;
    }
    relay_log("Store: evicted %s to stay under %llu bytes", victim.c_str(),
              static_cast<unsigned long long>(max_size_.load()));
  }
}
