// Streaming SHA-1 and SHA-256 digests over OpenSSL's EVP interface.
#include "relay/digest.h"

#include <cctype>
#include <new>

size_t digest_hex_length(DigestKind kind) { return kind == DigestKind::Sha1 ? 40 : 64; }

Digest::Digest(DigestKind kind) : context_(EVP_MD_CTX_new()), kind_(kind) {
  const EVP_MD* md = kind == DigestKind::Sha1 ? EVP_sha1() : EVP_sha256();
  if (!context_ || EVP_DigestInit_ex(context_.get(), md, nullptr) != 1) throw std::bad_alloc();
}

void Digest::update(const void* data, size_t length) {
  EVP_DigestUpdate(context_.get(), data, length);
}

std::string Digest::hex() {
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_.get(), raw, &length);
  static const char digits[] = "0123456789abcdef";
  std::string text(length * 2, '0');
  for (unsigned int i = 0; i < length; ++i) {
    text[2 * i] = digits[raw[i] >> 4];
    text[2 * i + 1] = digits[raw[i] & 15];
  }
  return text;
}

bool is_hex_digest(std::string_view text, size_t length) {
  if (text.size() != length) return false;
  for (unsigned char c : text)
    if (!std::isxdigit(c)) return false;
  return true;
}

bool hex_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}
