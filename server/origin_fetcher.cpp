// One fetch of a file from its origin into the store, with every check it must pass on the way.
#include "server/origin_fetcher.h"

#include <strings.h>

#include <cstdio>

#include "common/curl_handles.h"
#include "common/hex.h"

namespace {

struct OriginSink {
  AtomicFile* file = nullptr;
  Digest sha1{DigestKind::Sha1};
  Digest sha256{DigestKind::Sha256};
  std::optional<uint64_t> limit;  ///< more bytes than this cannot match the expected size
  uint64_t bytes = 0;
  bool too_long = false;
  bool write_failed = false;
};

size_t origin_sink_write(char* chunk, size_t size, size_t nmemb, void* data) {
  auto* sink = static_cast<OriginSink*>(data);
  const size_t length = size * nmemb;
  // Nothing here throws: the file write and the digest updates are C calls.
  if (sink->limit && sink->bytes + length > *sink->limit) {
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

FetchResult failure(std::string reason, uint64_t bytes) {
  FetchResult result;
  result.reason = std::move(reason);
  result.bytes = bytes;
  return result;
}

}  // namespace

FetchResult fetch_from_origin(const FetchJob& job, Store& store, const TransferLimits& limits,
                              bool allow_file, const std::atomic<bool>& stopping) {
  AtomicFile file(store.path_of(DigestKind::Sha1, job.sha1));
  if (!file.is_open()) return failure("store failed: cannot create a temporary file", 0);
  OriginSink sink;
  sink.file = &file;
  sink.limit = job.size;

  CurlEasy handle(curl_easy_init());
  if (!handle) return failure("fetch failed: cannot create a transfer", 0);
  char error_text[CURL_ERROR_SIZE] = "";
  CURL* curl = handle.get();
  // The relay vouches for what it serves, so it checks whom it fetches from.
  set_common_transfer_options(curl, job.url.c_str(), limits, nullptr, TlsChecks::Default,
                              allow_file ? "http,https,file" : "http,https");
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "quonfetch-relay");
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, origin_sink_write);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, origin_progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &stopping);

  CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  char* scheme = nullptr;
  curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme);
  const bool from_file = scheme && strcasecmp(scheme, "file") == 0;

  const std::string expected_size = job.size ? std::to_string(*job.size) : std::string();
  if (sink.too_long)
    return failure("size mismatch: expected " + expected_size + " bytes, received more",
                   sink.bytes);
  if (sink.write_failed) return failure("store failed: cannot write the file", sink.bytes);
  if (code == CURLE_ABORTED_BY_CALLBACK) return failure("fetch failed: stopped", sink.bytes);
  if (code != CURLE_OK)
    return failure(
        std::string("fetch failed: ") + (error_text[0] ? error_text : curl_easy_strerror(code)),
        sink.bytes);
  if (!from_file && status != 200)
    return failure("fetch failed: origin answered HTTP " + std::to_string(status), sink.bytes);
  if (job.size && sink.bytes != *job.size)
    return failure("size mismatch: expected " + expected_size + " bytes, received " +
                       std::to_string(sink.bytes),
                   sink.bytes);
  std::string sha1 = to_hex(sink.sha1.finish());
  if (sha1 != job.sha1) return failure("sha1 mismatch: received " + sha1, sink.bytes);
  std::string sha256 = to_hex(sink.sha256.finish());
  if (job.sha256 && sha256 != *job.sha256)
    return failure("sha256 mismatch: received " + sha256, sink.bytes);

  std::string err;
  if (!store.add(file, job.sha1, sha256, &err)) return failure("store failed: " + err, sink.bytes);
  FetchResult result;
  result.ok = true;
  result.bytes = sink.bytes;
  return result;
}
