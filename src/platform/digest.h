// Streaming SHA-1 and SHA-256 digests, computed by the platform's own cryptography library.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

enum class DigestKind { Sha1, Sha256 };

/// Number of hexadecimal digits in a digest of `kind` (40 or 64).
size_t digest_hex_length(DigestKind kind);

/// A running digest. Feed it bytes with update(), then read finish() once.
class Digest {
 public:
  /// Throws std::bad_alloc when the library cannot make a context.
  explicit Digest(DigestKind kind);
  ~Digest();
  Digest(Digest&&) noexcept;
  Digest& operator=(Digest&&) noexcept;

  void update(const void* data, size_t length);
  /// Finishes the digest and returns its raw bytes (20 or 32). Call once.
  std::string finish();

  DigestKind kind() const { return kind_; }

 private:
  struct State;  // the library's context, known only to the implementation
  std::unique_ptr<State> state_;
  DigestKind kind_;
};
