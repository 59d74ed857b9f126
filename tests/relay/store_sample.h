// A file's content with its two digests, as the store's tests put it in and look it up.
#pragma once

#include <string>
#include <utility>

#include "common/hex.h"

struct Sample {
  std::string content, sha1, sha256;
  explicit Sample(std::string text)
      : content(std::move(text)),
        sha1(digest_hex(DigestKind::Sha1, content)),
        sha256(digest_hex(DigestKind::Sha256, content)) {}
};
