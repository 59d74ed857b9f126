// The client a trusted balancer names in X-Forwarded-For.
#pragma once

#include <optional>
#include <vector>

#include "platform/ip_addresses.h"  // IpAddress
#include "relay/request_framing.h"  // HeaderField

/// The client named by the X-Forwarded-For lines among a head's `fields` (in the order they
/// arrived): the last entry of the last such line, the one the balancer appended (HAProxy adds
/// a line of its own, nginx appends to the line it received). The entries before it came from
/// the client, which may write anything there, and are ignored. Nothing when there is no such
/// line, or when that last entry is not a bare numeric IPv4 or IPv6 address (empty, a name, a
/// port, brackets).
std::optional<IpAddress> forwarded_client(const std::vector<HeaderField>& fields);
