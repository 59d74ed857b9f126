// The content-addressed store: every file under its SHA-1, and the same file under its SHA-256.
#include "server/store.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server/relay_log.h"
#include "common/hex.h"

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

std::optional<std::string> sha256_of_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  Digest digest(DigestKind::Sha256);
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ssize_t got = read(fd.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    digest.update(buffer.data(), static_cast<size_t>(got));
  }
  return to_hex(digest.finish());
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

bool Store::open(const std::string& root, std::string* err) {
  root_ = root;
  if (!make_directory_tree(root_ + "/sha1", err) || !make_directory_tree(root_ + "/sha256", err))
    return false;
  remove_leftovers(root_ + "/sha1");
  remove_leftovers(root_ + "/sha256");
  repair_sha256_names();
  return true;
}

std::string Store::path_of(DigestKind kind, std::string_view hex) const {
  return root_ + (kind == DigestKind::Sha1 ? "/sha1/" : "/sha256/") + std::string(hex);
}

std::optional<StoredFile> Store::open_file(DigestKind kind, std::string_view hex) const {
  if (!is_hex_digest(hex, digest_hex_length(kind))) return std::nullopt;
  StoredFile stored;
  stored.fd = UniqueFd(::open(path_of(kind, lower_hex(hex)).c_str(), O_RDONLY | O_CLOEXEC));
  if (stored.fd.get() < 0) return std::nullopt;
  struct stat info;
  if (fstat(stored.fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  stored.size = static_cast<uint64_t>(info.st_size);
  return stored;
}

std::optional<uint64_t> Store::stored_size(std::string_view sha1) const {
  struct stat info;
  if (stat(path_of(DigestKind::Sha1, sha1).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return std::nullopt;
  return static_cast<uint64_t>(info.st_size);
}

bool Store::same_file(std::string_view sha1, std::string_view sha256) const {
  struct stat a, b;
  if (stat(path_of(DigestKind::Sha1, sha1).c_str(), &a) != 0) return false;
  if (stat(path_of(DigestKind::Sha256, sha256).c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool Store::add(AtomicFile& file, const std::string& sha1, const std::string& sha256,
                std::string* err) {
  std::string why;
  if (!file.commit(&why)) {
    *err = "cannot move the file into the store: " + why;
    return false;
  }
  // The sha1 name is the file's home; the sha256 name is a second link to it. An existing
  // sha256 name from an earlier copy is replaced so that both names meet the same file.
  const std::string sha1_path = path_of(DigestKind::Sha1, sha1);
  const std::string sha256_path = path_of(DigestKind::Sha256, sha256);
  const std::string link_temporary = sha256_path + ".link";
  unlink(link_temporary.c_str());  // a leftover of an earlier failure, if any
  if (link(sha1_path.c_str(), link_temporary.c_str()) != 0 ||
      rename(link_temporary.c_str(), sha256_path.c_str()) != 0) {
    *err = std::string("cannot link the sha256 name: ") + strerror(errno);
    unlink(link_temporary.c_str());
    unlink(sha1_path.c_str());
    return false;
  }
  return true;
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

void Store::repair_sha256_names() const {
  std::error_code ec;
  // A sha256 name left alone has lost its sha1 file and is no longer part of the store.
  for (const auto& entry : fs::directory_iterator(root_ + "/sha256", ec)) {
    struct stat info;
    if (stat(entry.path().c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink < 2) {
      std::error_code ignored;  // it would only be reported as stale again on the next start
      fs::remove(entry.path(), ignored);
    }
  }
  for (const auto& entry : fs::directory_iterator(root_ + "/sha1", ec)) {
    std::string name = entry.path().filename().string();
    struct stat info;
    if (!is_hex_digest(name, 40) || stat(entry.path().c_str(), &info) != 0 ||
        !S_ISREG(info.st_mode) || info.st_nlink >= 2)
      continue;
    std::optional<std::string> sha256 = sha256_of_file(entry.path().string());
    if (!sha256 || link(entry.path().c_str(), path_of(DigestKind::Sha256, *sha256).c_str()) != 0)
      relay_log("Store: cannot give %s its sha256 name", name.c_str());
  }
}
