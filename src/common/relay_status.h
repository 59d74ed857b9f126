// The status a relay answers a download request with, as both ends name it.
#pragma once

#include <string_view>

/// What the relay says of a file. The token text travels on the wire; the code works with this.
enum class RelayStatus {
  Available,  ///< in the store: fetch it from the mirror now
  InProcess,  ///< queued or being fetched: ask again later
  Failed,     ///< the fetch or one of its checks failed
  Invalid,    ///< a well-formed request the relay cannot serve
  Unknown,    ///< any other token
};

/// The token of `status` on the wire ("Available", ...); "" for Unknown.
std::string_view status_token(RelayStatus status);

/// The status a token names, compared byte for byte; Unknown for any other token.
RelayStatus relay_status_of(std::string_view token);
