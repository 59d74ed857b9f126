// Streaming SHA-1 and SHA-256 digests over Windows' own cryptography (CNG).
#include <new>

#include <windows.h>
// after windows.h, which it needs
#include <bcrypt.h>

#include "platform/digest.h"

namespace {

// One algorithm provider per kind for the whole process: opening one is slow, and a provider
// serves any number of hashes on any thread.
class Provider {
 public:
  explicit Provider(const wchar_t* algorithm) {
    if (BCryptOpenAlgorithmProvider(&handle_, algorithm, nullptr, 0) != 0) handle_ = nullptr;
  }
  ~Provider() {
    if (handle_) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

BCRYPT_ALG_HANDLE provider(DigestKind kind) {
  static Provider sha1(BCRYPT_SHA1_ALGORITHM);
  static Provider sha256(BCRYPT_SHA256_ALGORITHM);
  return kind == DigestKind::Sha1 ? sha1.get() : sha256.get();
}

size_t digest_length(DigestKind kind) {
  return kind == DigestKind::Sha1 ? 20 : 32;
}

}  // namespace

struct Digest::State {
  struct HashDeleter {
    void operator()(void* hash) const { BCryptDestroyHash(hash); }
  };
  std::unique_ptr<void, HashDeleter> hash;
};

size_t digest_hex_length(DigestKind kind) {
  return digest_length(kind) * 2;
}

Digest::Digest(DigestKind kind) : state_(std::make_unique<State>()), kind_(kind) {
  BCRYPT_ALG_HANDLE algorithm = provider(kind);
  BCRYPT_HASH_HANDLE hash = nullptr;
  // The hash object's memory is left to the system (a null buffer).
  if (!algorithm || BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) != 0)
    throw std::bad_alloc();
  state_->hash.reset(hash);
}

Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

void Digest::update(const void* data, size_t length) {
  auto* at = static_cast<UCHAR*>(const_cast<void*>(data));  // the call only reads it
  while (length > 0) {
    ULONG piece = length > (1ul << 30) ? (1ul << 30) : static_cast<ULONG>(length);
    BCryptHashData(state_->hash.get(), at, piece, 0);
    at += piece;
    length -= piece;
  }
}

std::string Digest::finish() {
  std::string raw(digest_length(kind_), '\0');
  BCryptFinishHash(state_->hash.get(), reinterpret_cast<UCHAR*>(raw.data()),
                   static_cast<ULONG>(raw.size()), 0);
  return raw;
}
