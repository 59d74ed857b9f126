// The download request as it travels: the two-line body a client posts and the reply line.
#include "relay/request_body.h"

#include <cctype>
#include <charconv>
#include <map>

#include "common/hex.h"

namespace {

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A body the relay will not read, with the reason it sends back.
Status refused(std::string reason) {
  return Status::failure(Status::Code::Refused, std::move(reason));
}

}  // namespace

Status parse_request_body(std::string_view body, DownloadAsk* ask) {
  if (!body.starts_with("0\n")) {
    return refused("the first line of the body must be 0");
  }
  std::string_view line = body.substr(2);
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.find_first_of("\r\n") != std::string_view::npos) {
    return refused("the body must be two lines ended by line feeds");
  }
  if (line.empty()) {
    return refused("the second line of the body is empty");
  }

  std::map<std::string, std::string, std::less<>> fields;
  while (!line.empty()) {
    size_t comma = line.find(',');
    std::string_view field = line.substr(0, comma);
    line = comma == std::string_view::npos ? std::string_view() : line.substr(comma + 1);
    size_t equals = field.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      return refused("field without key=value form: " + std::string(field));
    }
    std::string key(field.substr(0, equals));
    if (!fields.emplace(key, std::string(field.substr(equals + 1))).second) {
      return refused("field given twice: " + key);
    }
  }
  for (const char* required : {"sha1", "size", "url"}) {
    if (!fields.contains(required)) {
      return refused(std::string("missing field: ") + required);
    }
  }
  std::optional<std::string> url = percent_decode(fields["url"]);
  if (!url) {
    return refused("url holds a bad percent escape");
  }
  ask->sha1 = fields["sha1"];
  ask->size = fields["size"];
  ask->url = std::move(*url);
  ask->sha256.reset();
  auto sha256 = fields.find("sha256");
  if (sha256 != fields.end() && !sha256->second.empty()) ask->sha256 = sha256->second;
  return Status();
}

std::optional<std::string> percent_decode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int high = hex_value(text[i + 1]), low = hex_value(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    decoded.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return decoded;
}

std::string percent_encode(std::string_view text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded.push_back('%');
      encoded.push_back(digits[c >> 4]);
      encoded.push_back(digits[c & 15]);
    }
  }
  return encoded;
}

std::string unusable_reason(const DownloadAsk& ask, bool allow_file) {
  if (!is_hex_digest(ask.sha1, digest_hex_length(DigestKind::Sha1)))
    return "sha1 is not 40 hexadecimal digits";
  if (ask.sha256 && !is_hex_digest(*ask.sha256, digest_hex_length(DigestKind::Sha256)))
    return "sha256 is not 64 hexadecimal digits";
  if (starts_with_nocase(ask.url, "http://") || starts_with_nocase(ask.url, "https://"))
    return std::string();
  if (allow_file && starts_with_nocase(ask.url, "file://")) return std::string();
  return allow_file ? "origin URL is not http, https or file" : "origin URL is not http or https";
}

std::optional<uint64_t> numeric_size(std::string_view size) {
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(size.data(), size.data() + size.size(), value);
  if (size.empty() || ec != std::errc() || end != size.data() + size.size()) return std::nullopt;
  return value;
}

std::string format_status_reply(RelayStatus status, std::string_view reason) {
  std::string reply = "0\naid=0,status=";
  reply += status_token(status);
  if (!reason.empty()) {
    reply += ",reason=";
    reply += percent_encode(reason);
  }
  reply += '\n';
  return reply;
}
