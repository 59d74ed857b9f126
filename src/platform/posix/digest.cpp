// Streaming SHA-1 and SHA-256 digests over OpenSSL's EVP interface.
#include <new>

#include <openssl/evp.h>

#include "platform/digest.h"

struct Digest::State {
  struct ContextDeleter {
    void operator()(EVP_MD_CTX* owned) const { EVP_MD_CTX_free(owned); }
  };
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> context;
};

size_t digest_hex_length(DigestKind kind) {
  return kind == DigestKind::Sha1 ? 40 : 64;
}

Digest::Digest(DigestKind kind) : state_(std::make_unique<State>()), kind_(kind) {
  state_->context.reset(EVP_MD_CTX_new());
  const EVP_MD* md = kind == DigestKind::Sha1 ? EVP_sha1() : EVP_sha256();
  if (!state_->context || EVP_DigestInit_ex(state_->context.get(), md, nullptr) != 1)
    throw std::bad_alloc();
}

Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

void Digest::update(const void* data, size_t length) {
  EVP_DigestUpdate(state_->context.get(), data, length);
}

std::string Digest::finish() {
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->context.get(), raw, &length);
  return std::string(reinterpret_cast<const char*>(raw), length);
}
