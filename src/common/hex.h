// Hexadecimal texts: digests as the client, the relay and the tests write and compare them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/digest.h"

/// `bytes` as lower-case hex, two digits a byte.
std::string to_hex(std::string_view bytes);

/// True when `text` is exactly `length` hexadecimal digits (either case).
bool is_hex_digest(std::string_view text, size_t length);

/// Compares two hex texts without regard to the case of their letters.
bool hex_equal(std::string_view a, std::string_view b);

/// `hex` with its letters in lower case.
std::string lower_hex(std::string_view hex);

/// The lower-case hex digest of `kind` over `data`, in one step.
std::string digest_hex(DigestKind kind, std::string_view data);
