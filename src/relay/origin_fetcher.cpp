// One fetch of a file from its origin into the store, with every check it must pass on the way.
#include "relay/origin_fetcher.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "common/hex.h"
#include "platform/listen_socket.h"

namespace {

std::string address_text(const sockaddr* address) {
  std::string text;
  int port = 0;
  socket_address_text(address, &text, &port);
  return text;
}

FetchResult failure(OriginFetchEnd end, std::string reason, std::string detail, uint64_t bytes) {
  return FetchResult{end, std::move(reason), std::move(detail), bytes};
}

}  // namespace

std::string_view fetch_end_name(OriginFetchEnd end) {
  switch (end) {
    case OriginFetchEnd::Stored:
      return "stored";
    case OriginFetchEnd::Refused:
      return "refused";
    case OriginFetchEnd::OriginError:
      return "origin_error";
    case OriginFetchEnd::TransferError:
      return "transfer_error";
    case OriginFetchEnd::TimedOut:
      return "timed_out";
    case OriginFetchEnd::TooLarge:
      return "too_large";
    case OriginFetchEnd::SizeMismatch:
      return "size_mismatch";
    case OriginFetchEnd::DigestMismatch:
      return "digest_mismatch";
    case OriginFetchEnd::StoreError:
      return "store_error";
    case OriginFetchEnd::Stopped:
      return "stopped";
    case OriginFetchEnd::Count:
      break;
  }
  return "unknown";
}

OriginFetch::OriginFetch(FetchJob job, Store& store, const FetchSettings& settings)
    : job_(std::move(job)), store_(store), settings_(settings) {}

size_t OriginFetch::write_chunk(char* chunk, size_t size, size_t nmemb, void* data) {
  auto* sink = static_cast<Sink*>(data);
  const size_t length = size * nmemb;
  // Nothing here throws: the file write and the digest updates are C calls.
  if (sink->bytes + length > sink->limit) {
    sink->too_long = true;
    return 0;
  }
  if (!sink->file->write(chunk, length)) {
    sink->write_failed = true;
    return 0;
  }
  sink->sha1.update(chunk, length);
  sink->sha256.update(chunk, length);
  sink->bytes += length;
  return length;
}

// libcurl asks here for every socket it connects, for the first URL and for every redirect,
// after DNS: the address checked is the one actually connected to.
curl_socket_t OriginFetch::open_checked_socket(void* data, curlsocktype purpose,
                                               curl_sockaddr* address) {
  auto* guard = static_cast<AddressGuard*>(data);
  if (purpose == CURLSOCKTYPE_IPCXN) {
    std::optional<IpAddress> ip = ip_of(&address->addr);
    std::string_view rule = ip ? guard->policy->refusal(*ip) : "not an internet address";
    if (!rule.empty()) {
      guard->refused_rule = rule;
      guard->refused_address = address_text(&address->addr);
      return CURL_SOCKET_BAD;
    }
  }
  return open_socket(address->family, address->socktype, address->protocol);
}

std::optional<FetchResult> OriginFetch::prepare() {
  file_ = std::make_unique<AtomicFile>(store_.path_of(DigestKind::Sha1, job_.sha1), store_.env());
  if (!file_->is_open())
    return failure(OriginFetchEnd::StoreError, "store failed: the relay cannot write the file",
                   "cannot create a temporary file", 0);
  sink_.file = file_.get();
  sink_.limit = job_.size ? std::min(*job_.size, settings_.max_file_size) : settings_.max_file_size;
  guard_.policy = &settings_.policy;
  handle_.reset(curl_easy_init());
  if (!handle_)
    return failure(OriginFetchEnd::TransferError, "fetch failed: the relay cannot start a transfer",
                   "curl_easy_init failed", 0);
  set_options();
  return std::nullopt;
}

void OriginFetch::set_options() {
  CURL* curl = handle_.get();
  // The relay vouches for what it serves, so it checks whom it fetches from.
  set_common_transfer_options(curl, job_.url.c_str(), settings_.limits, nullptr, TlsChecks::Default,
                              settings_.allow_file ? "http,https,file" : "http,https");
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "quonfetch-relay");
  // A proxy from the environment would be the address connected to, and its target unchecked.
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, open_checked_socket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &guard_);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, settings_.timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink_.limit));
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text_);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_chunk);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink_);
}

// Why the transfer itself did not bring the whole file; none when it did.
std::optional<FetchResult> OriginFetch::transfer_failure(CURLcode code) const {
  const std::string curl_text = error_text_[0] ? error_text_ : curl_easy_strerror(code);
  if (code == CURLE_COULDNT_CONNECT && !guard_.refused_rule.empty())
    return failure(OriginFetchEnd::Refused,
                   "origin refused: its address is " + guard_.refused_rule +
                       " (the relay's operator can allow it with --allow-origin)",
                   "address " + guard_.refused_address, sink_.bytes);
  if (sink_.too_long || code == CURLE_FILESIZE_EXCEEDED)
    return failure(OriginFetchEnd::TooLarge,
                   "size mismatch: the origin sent more bytes than expected",
                   "more than " + std::to_string(sink_.limit) + " bytes", sink_.bytes);
  if (sink_.write_failed)
    return failure(OriginFetchEnd::StoreError, "store failed: the relay cannot write the file",
                   curl_text, sink_.bytes);
  if (code == CURLE_OPERATION_TIMEDOUT)
    return failure(OriginFetchEnd::TimedOut, "fetch failed: the origin was too slow", curl_text,
                   sink_.bytes);
  if (code != CURLE_OK)
    return failure(OriginFetchEnd::TransferError, "fetch failed: the origin could not be read",
                   curl_text, sink_.bytes);
  long status = 0;
  curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &status);
  char* scheme = nullptr;
  curl_easy_getinfo(handle_.get(), CURLINFO_SCHEME, &scheme);
  const bool from_file = scheme && strcasecmp(scheme, "file") == 0;
  if (!from_file && status != 200)
    return failure(OriginFetchEnd::OriginError, "fetch failed: the origin did not send the file",
                   "origin answered HTTP " + std::to_string(status), sink_.bytes);
  return std::nullopt;
}

// Why the bytes received are not the file asked for; none when they are. Sets `sha256`.
std::optional<FetchResult> OriginFetch::content_failure(std::string* sha256) {
  if (job_.size && sink_.bytes != *job_.size)
    return failure(
        OriginFetchEnd::SizeMismatch,
        "size mismatch: the origin's file is not " + std::to_string(*job_.size) + " bytes",
        "received " + std::to_string(sink_.bytes) + " bytes", sink_.bytes);
  const std::string sha1 = to_hex(sink_.sha1.finish());
  if (sha1 != job_.sha1)
    return failure(OriginFetchEnd::DigestMismatch,
                   "sha1 mismatch: the origin's file has another sha1", "received sha1 " + sha1,
                   sink_.bytes);
  *sha256 = to_hex(sink_.sha256.finish());
  if (job_.sha256 && *sha256 != *job_.sha256)
    return failure(OriginFetchEnd::DigestMismatch,
                   "sha256 mismatch: the origin's file has another sha256",
                   "received sha256 " + *sha256, sink_.bytes);
  return std::nullopt;
}

FetchResult OriginFetch::finish(CURLcode code) {
  if (auto failed = transfer_failure(code)) return *failed;
  std::string sha256;
  if (auto failed = content_failure(&sha256)) return *failed;
  Status stored = store_.add(*file_, job_.sha1, sha256);
  if (!stored.ok())
    return failure(OriginFetchEnd::StoreError, "store failed: the relay cannot store the file",
                   stored.message(), sink_.bytes);
  return FetchResult{OriginFetchEnd::Stored, "", "", sink_.bytes};
}

FetchResult OriginFetch::stopped() const {
  return failure(OriginFetchEnd::Stopped, "fetch failed: the relay is stopping", "", sink_.bytes);
}
