// The polling driver: announce every record, poll while the relay works, fetch what is ready.
#include "run/driver.h"

#include <optional>
#include <string>

#include "output/log.h"
#include "platform/clock.h"
#include "relay/curl_handles.h"
#include "relay/download_request.h"
#include "relay/file_retrieval.h"
#include "run/state.h"

namespace {

constexpr size_t kBaseUrlBufferSize = 2048;
constexpr int kPauseWhileWaiting = 30;
constexpr int kPauseAfterFetching = 1;

// The text after the last '/' of the origin URL, verbatim; none when there is no '/' or
// nothing follows the last one.
std::optional<std::string> file_name_of(const std::optional<std::string>& url) {
  if (!url) return std::nullopt;
  size_t slash = url->rfind('/');
  if (slash == std::string::npos || slash + 1 == url->size()) return std::nullopt;
  return url->substr(slash + 1);
}

// Tries the sha1 mirror URL, then the sha256 one; counts a file that arrived whole.
void fetch_available(const std::string& base_url, const Download& download) {
  std::optional<std::string> name = file_name_of(download.url);
  std::string sha1_url, sha256_url;
  if (download.sha1 && !download.sha1->empty())
    sha1_url = mirror_url(base_url, DigestKind::Sha1, *download.sha1);
  if (download.sha256 && !download.sha256->empty())
    sha256_url = mirror_url(base_url, DigestKind::Sha256, *download.sha256);

  FetchOutcome first;
  if (!sha1_url.empty()) {
    first = download_file(sha1_url, name, digest_check_for(DigestKind::Sha1, download.sha1));
    if (first.status == 200 && first.stored) {
      ++success_count;
      return;
    }
  }
  log_message("Error downloading %s Response:%ld", sha1_url.c_str(), first.status);
  if (sha256_url.empty()) return;
  FetchOutcome second =
      download_file(sha256_url, name, digest_check_for(DigestKind::Sha256, download.sha256));
  if (second.status == 200 && second.stored)
    ++success_count;
  else
    log_message("Error downloading %s Response:%ld", sha256_url.c_str(), second.status);
}

}  // namespace

void run_downloads() {
  ConnectionCache connection_cache;  // outlives every transfer of the run

  std::string base_url = format_bounded(kBaseUrlBufferSize, "http://%s:%d",
                                        settings.relay ? settings.relay->c_str() : "(null)",
                                        settings.port);
  std::optional<std::string> request_url = base_url + "/DownloadRequest";
  log_message("Sending download requests for %zu download(s) on %s", request_queue.count,
              base_url.c_str());

  for (size_t i = 0; i < request_queue.count; ++i)
    request_url = send_download_request(request_url, queue_at(request_queue, i));

  // A relay that only answered on https during the first requests serves its mirror there too.
  if (request_url && request_url->starts_with("https"))
    base_url = format_bounded(kBaseUrlBufferSize, "https://%s", base_url.c_str() + 7);

  while (current_time() < deadline) {
    if (inprocess_queue.count == 0 && available_queue.count == 0) break;
    int pause = kPauseWhileWaiting;

    if (available_queue.count > 0) {
      size_t available = available_queue.count;
      log_message("%zu download(s) available.", available);
      for (size_t i = 0; i < available; ++i)
        fetch_available(base_url, *queue_pop_front(available_queue));
      pause = kPauseAfterFetching;
    }

    size_t in_process = inprocess_queue.count;
    if (in_process == 0) continue;
    log_message("Checking status of %zu downloads.", in_process);
    for (size_t i = 0; i < in_process; ++i)
      request_url = send_download_request(request_url, queue_pop_front(inprocess_queue));

    if (inprocess_queue.count > 0 && available_queue.count == 0) {
      log_message("Sleeping for %d seconds...", pause);
      sleep_seconds(pause);
    }
  }

  if (current_time() >= deadline)
    log_message("Timeout of %d minute(s) reached.", settings.timeout_minutes);
  log_message("%d download(s) successfully downloaded.", success_count);
}
