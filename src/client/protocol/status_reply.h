// The relay's reply to a download request, as far as the client reads it: its status token.
#pragma once

#include <optional>
#include <string>
#include <string_view>

/// Reads the status token out of a relay reply: the reply must begin with "0\n" and hold
/// "aid=" and "status=" somewhere; the token is the run of ASCII letters, digits and '_' after
/// the first "status=". Nothing when the reply holds no token.
std::optional<std::string_view> parse_status(std::string_view reply);

/// The reason a relay gives with a status ("status=Failed,reason=sha1%20mismatch"): the text
/// after "reason=" up to the next ',' or line end, percent-decoded. Nothing when there is none.
std::optional<std::string> parse_reason(std::string_view reply);
