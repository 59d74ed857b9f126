// Streaming SHA-1 and SHA-256 digests over OpenSSL's EVP interface.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include <openssl/evp.h>

enum class DigestKind { Sha1, Sha256 };

/// Number of hexadecimal digits in a digest of `kind` (40 or 64).
size_t digest_hex_length(DigestKind kind);

/// A running digest. Feed it bytes with update(), then read hex() once.
class Digest {
 public:
  /// Throws std::bad_alloc when OpenSSL cannot make a context.
  explicit Digest(DigestKind kind);
  Digest(Digest&&) noexcept = default;
  Digest& operator=(Digest&&) noexcept = default;

  void update(const void* data, size_t length);
  /// Finishes the digest and returns it in lower-case hex. Call once.
  std::string hex();

  DigestKind kind() const { return kind_; }

 private:
  struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> context_;
  DigestKind kind_;
};

/// True when `text` is exactly `length` hexadecimal digits (either case).
bool is_hex_digest(std::string_view text, size_t length);

/// Compares two hex texts without regard to the case of their letters.
bool hex_equal(std::string_view a, std::string_view b);
