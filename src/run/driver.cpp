// The polling driver: announce every record, poll while the relay works, fetch what is ready.
#include "run/driver.h"

#include <optional>
#include <string>

#include "output/log.h"
#include "relay/download_request.h"
#include "relay/file_retrieval.h"

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
void fetch_available(RunState& state, const std::string& base_url, const Download& download) {
  std::optional<std::string> name = file_name_of(download.url);
  std::string sha1_url, sha256_url;
  if (download.sha1 && !download.sha1->empty())
    sha1_url = mirror_url(base_url, DigestKind::Sha1, *download.sha1);
  if (download.sha256 && !download.sha256->empty())
    sha256_url = mirror_url(base_url, DigestKind::Sha256, *download.sha256);

  FetchOutcome first;
  if (!sha1_url.empty()) {
    first = download_file(state, sha1_url, name,
                          digest_check_for(DigestKind::Sha1, download.sha1), download.size);
    if (first.end == FetchEnd::Stored) {
      ++state.success_count;
      return;
    }
  }
  log_message(state.settings, "Error downloading %s Response:%ld", sha1_url.c_str(),
              first.status);
  if (sha256_url.empty()) return;
  FetchOutcome second =
      download_file(state, sha256_url, name,
                    digest_check_for(DigestKind::Sha256, download.sha256), download.size);
  if (second.end == FetchEnd::Stored)
    ++state.success_count;
  else
    log_message(state.settings, "Error downloading %s Response:%ld", sha256_url.c_str(),
                second.status);
}

// The initial requests: every record of the request queue, in order, once.
void send_initial_requests(RunState& state, std::optional<std::string>& request_url) {
  for (size_t i = 0; i < state.request_queue.count; ++i)
    request_url = send_download_request(state, request_url, queue_at(state.request_queue, i));
}

// One polling pass: fetch what is available, ask again about what is in process, and pause
// while the relay is still working.
void polling_pass(RunState& state, const std::string& base_url,
                  std::optional<std::string>& request_url) {
  int pause = kPauseWhileWaiting;
  if (state.available_queue.count > 0) {
    size_t available = state.available_queue.count;
    log_message(state.settings, "%zu download(s) available.", available);
    for (size_t i = 0; i < available; ++i)
      fetch_available(state, base_url, *queue_pop_front(state.available_queue));
    pause = kPauseAfterFetching;
  }

  size_t in_process = state.inprocess_queue.count;
  if (in_process == 0) return;
  log_message(state.settings, "Checking status of %zu downloads.", in_process);
  for (size_t i = 0; i < in_process; ++i)
    request_url =
        send_download_request(state, request_url, queue_pop_front(state.inprocess_queue));

  if (state.inprocess_queue.count > 0 && state.available_queue.count == 0) {
    log_message(state.settings, "Sleeping for %d seconds...", pause);
    sleep_seconds(state.clock, pause);
  }
}

}  // namespace

void run_downloads(RunState& state) {
  const Settings& settings = state.settings;
  std::string base_url = format_bounded(kBaseUrlBufferSize, "http://%s:%d",
                                        settings.relay ? settings.relay->c_str() : "(null)",
                                        settings.port);
  std::optional<std::string> request_url = base_url + "/DownloadRequest";
  log_message(settings, "Sending download requests for %zu download(s) on %s",
              state.request_queue.count, base_url.c_str());
  send_initial_requests(state, request_url);

  // A relay that only answered on https during the first requests serves its mirror there too.
  if (request_url && request_url->starts_with("https"))
    base_url = format_bounded(kBaseUrlBufferSize, "https://%s", base_url.c_str() + 7);

  while (state.clock.now() < state.deadline) {
    if (state.inprocess_queue.count == 0 && state.available_queue.count == 0) break;
    polling_pass(state, base_url, request_url);
  }

  if (state.clock.now() >= state.deadline)
    log_message(settings, "Timeout of %d minute(s) reached.", settings.timeout_minutes);
  log_message(settings, "%d download(s) successfully downloaded.", state.success_count);
}
