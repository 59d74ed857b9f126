// One fetch of a file from its origin into the store, with every check it must pass on the way.
#include "relay/origin_fetcher.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "common/hex.h"
#include "platform/listen_socket.h"

namespace {

// Where the bytes of one fetch go, and what was seen on the way.
struct OriginSink {
  AtomicFile* file = nullptr;
  Digest sha1{DigestKind::Sha1};
  Digest sha256{DigestKind::Sha256};
  uint64_t limit = 0;  ///< more bytes than this cannot be the file asked for
  uint64_t bytes = 0;
  bool too_long = false;
  bool write_failed = false;
};

// What the open-socket callback decided about the addresses it was asked to connect to.
struct AddressGuard {
  const OriginPolicy* policy = nullptr;
  std::string refused_rule;     ///< the rule of the last refused address
  std::string refused_address;  ///< for the log only
};

size_t origin_sink_write(char* chunk, size_t size, size_t nmemb, void* data) {
  auto* sink = static_cast<OriginSink*>(data);
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

int origin_progress(void* stopping, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(stopping)->load() ? 1 : 0;
}

std::string address_text(const sockaddr* address) {
  std::string text;
  int port = 0;
  socket_address_text(address, &text, &port);
  return text;
}

// libcurl asks here for every socket it connects, for the first URL and for every redirect,
// after DNS: the address checked is the one actually connected to.
curl_socket_t open_checked_socket(void* data, curlsocktype purpose, curl_sockaddr* address) {
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

FetchResult failure(OriginFetchEnd end, std::string reason, std::string detail, uint64_t bytes) {
  return FetchResult{end, std::move(reason), std::move(detail), bytes};
}

void set_fetch_options(CURL* curl, const FetchJob& job, const FetchSettings& settings,
                       OriginSink* sink, AddressGuard* guard, char* error_text,
                       const std::atomic<bool>* stopping) {
  // The relay vouches for what it serves, so it checks whom it fetches from.
  set_common_transfer_options(curl, job.url.c_str(), settings.limits, nullptr, TlsChecks::Default,
                              settings.allow_file ? "http,https,file" : "http,https");
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "quonfetch-relay");
  // A proxy from the environment would be the address connected to, and its target unchecked.
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, open_checked_socket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, guard);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, settings.timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink->limit));
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, origin_sink_write);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, sink);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, origin_progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, stopping);
}

// Why the transfer itself did not bring the whole file; none when it did.
std::optional<FetchResult> transfer_failure(CURL* curl, CURLcode code, const OriginSink& sink,
                                            const AddressGuard& guard, const char* error_text) {
  const std::string curl_text = error_text[0] ? error_text : curl_easy_strerror(code);
  if (code == CURLE_COULDNT_CONNECT && !guard.refused_rule.empty())
    return failure(OriginFetchEnd::Refused,
                   "origin refused: its address is " + guard.refused_rule +
                       " (the relay's operator can allow it with --allow-origin)",
                   "address " + guard.refused_address, sink.bytes);
  if (sink.too_long || code == CURLE_FILESIZE_EXCEEDED)
    return failure(OriginFetchEnd::TooLarge,
                   "size mismatch: the origin sent more bytes than expected",
                   "more than " + std::to_string(sink.limit) + " bytes", sink.bytes);
  if (sink.write_failed)
    return failure(OriginFetchEnd::StoreError, "store failed: the relay cannot write the file",
                   curl_text, sink.bytes);
  if (code == CURLE_ABORTED_BY_CALLBACK)
    return failure(OriginFetchEnd::Stopped, "fetch failed: the relay is stopping", "", sink.bytes);
  if (code == CURLE_OPERATION_TIMEDOUT)
    return failure(OriginFetchEnd::TimedOut, "fetch failed: the origin was too slow", curl_text,
                   sink.bytes);
  if (code != CURLE_OK)
    return failure(OriginFetchEnd::TransferError, "fetch failed: the origin could not be read",
                   curl_text, sink.bytes);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  char* scheme = nullptr;
  curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme);
  const bool from_file = scheme && strcasecmp(scheme, "file") == 0;
  if (!from_file && status != 200)
    return failure(OriginFetchEnd::OriginError, "fetch failed: the origin did not send the file",
                   "origin answered HTTP " + std::to_string(status), sink.bytes);
  return std::nullopt;
}

// Why the bytes received are not the file asked for; none when they are. Sets `sha256`.
std::optional<FetchResult> content_failure(const FetchJob& job, OriginSink& sink,
                                           std::string* sha256) {
  if (job.size && sink.bytes != *job.size)
    return failure(
        OriginFetchEnd::SizeMismatch,
        "size mismatch: the origin's file is not " + std::to_string(*job.size) + " bytes",
        "received " + std::to_string(sink.bytes) + " bytes", sink.bytes);
  const std::string sha1 = to_hex(sink.sha1.finish());
  if (sha1 != job.sha1)
    return failure(OriginFetchEnd::DigestMismatch,
                   "sha1 mismatch: the origin's file has another sha1", "received sha1 " + sha1,
                   sink.bytes);
  *sha256 = to_hex(sink.sha256.finish());
  if (job.sha256 && *sha256 != *job.sha256)
    return failure(OriginFetchEnd::DigestMismatch,
                   "sha256 mismatch: the origin's file has another sha256",
                   "received sha256 " + *sha256, sink.bytes);
  return std::nullopt;
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

FetchResult fetch_from_origin(const FetchJob& job, Store& store, const FetchSettings& settings,
                              const std::atomic<bool>& stopping) {
  AtomicFile file(store.path_of(DigestKind::Sha1, job.sha1), store.env());
  if (!file.is_open())
    return failure(OriginFetchEnd::StoreError, "store failed: the relay cannot write the file",
                   "cannot create a temporary file", 0);
  OriginSink sink;
  sink.file = &file;
  sink.limit = job.size ? std::min(*job.size, settings.max_file_size) : settings.max_file_size;
  AddressGuard guard;
  guard.policy = &settings.policy;

  CurlEasy handle(curl_easy_init());
  if (!handle)
    return failure(OriginFetchEnd::TransferError, "fetch failed: the relay cannot start a transfer",
                   "curl_easy_init failed", 0);
  char error_text[CURL_ERROR_SIZE] = "";
  set_fetch_options(handle.get(), job, settings, &sink, &guard, error_text, &stopping);
  CURLcode code = curl_easy_perform(handle.get());

  if (auto failed = transfer_failure(handle.get(), code, sink, guard, error_text)) return *failed;
  std::string sha256;
  if (auto failed = content_failure(job, sink, &sha256)) return *failed;
  Status stored = store.add(file, job.sha1, sha256);
  if (!stored.ok())
    return failure(OriginFetchEnd::StoreError, "store failed: the relay cannot store the file",
                   stored.message(), sink.bytes);
  return FetchResult{OriginFetchEnd::Stored, "", "", sink.bytes};
}
