// Network addresses written as text.
#pragma once

#include <string>

/// True when `text` is an IPv6 address literal as the system reads one ("::1", "fe80::2",
/// "::ffff:10.0.0.1"), without brackets.
bool is_ipv6_literal(const std::string& text);
