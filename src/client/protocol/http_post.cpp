// The POST of a download request to the relay, with retries and the move from http to https.
#include "client/protocol/http_post.h"

#include <cstring>
#include <new>

#include "client/output/log.h"
#include "client/protocol/relay_transfer.h"
#include "client/protocol/status_reply.h"

namespace {

constexpr int kFailureLimit = 6;
constexpr int kRetryWaitSeconds = 3;
constexpr int kHttpsSwitchAt = 3;

// The headers of every download request. "Expect:" with no value keeps libcurl from asking for
// a "100 Continue" before a large body, which a relay that never answers it would make cost a
// second per attempt.
CurlSlist request_headers() {
  CurlSlist headers(curl_slist_append(nullptr, "Content-Type: text/plain"));
  // Appending keeps the list's head; when it fails the list stays as it was, which costs only
  // the wait it was meant to save.
  if (headers) curl_slist_append(headers.get(), "Expect:");
  return headers;
}

// Keeps the answered token in the record; a copy that cannot be made leaves it absent.
void store_status(Download* download, std::string_view token) {
  if (!download) return;
  try {
    download->status = std::string(token.substr(0, kMaxStatusLength));
  } catch (const std::bad_alloc&) {
    download->status.reset();
  }
}

enum class Attempt { Answered, Failed, NoClient };

// Once one request has moved to https the run stays there: the next attempt of a request still
// on http moves too, and a request that moves takes the run along.
void follow_the_run(std::optional<std::string>& next, std::optional<std::string>& run_url) {
  if (!next || !run_url) return;
  if (next->starts_with("http://") && run_url->starts_with("https://"))
    next = run_url;
  else if (next->starts_with("https://") && run_url->starts_with("http://"))
    run_url = next;
}

// One attempt. Fills the result's transfer code and HTTP code.
Task<Attempt> post_once(RunState& state, const char* url, Download* download,
                        const std::string& body, PostResult& result) {
  // Declared before the handle that uses them, so that they are freed after that handle.
  CurlSlist headers = request_headers();
  MemorySink reply;
  TransferHandle handle(&state.connection_cache);
  if (!handle) co_return Attempt::NoClient;

  set_relay_transfer_options(handle, url, state.request_limits);
  curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle.get(), CURLOPT_POST, 1L);
  // A relay front that redirects (a moved relay, a rule forcing https) must see the same POST
  // again, not a GET that could only fail (D13).
  curl_easy_setopt(handle.get(), CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
  curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(strlen(body.c_str())));
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, memory_sink_write);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &reply);
  auto show_request = [&] {
    log_debug(state.settings, "Sending request to %s with body: %s", url ? url : "", body.c_str());
  };
  // Side by side, the request is shown with its reply, so that the two stand together.
  const bool side_by_side = state.settings.jobs > 1;
  if (!side_by_side) show_request();

  result.response_code = 0;
  result.transfer_result = co_await state.loop.perform(handle.get());
  if (side_by_side) show_request();
  if (result.transfer_result == CURLE_OK)
    curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &result.response_code);
  if (result.response_code < 200 || result.response_code >= 300) co_return Attempt::Failed;
  // The reply is read as text: a NUL byte ends it.
  const char* text = reply.data.c_str();
  log_debug(state.settings, "Contents of response: %s", text);
  std::optional<std::string_view> token = parse_status(text);
  if (!token) co_return Attempt::Failed;
  store_status(download, *token);
  if (download) download->failure = parse_reason(text);
  co_return Attempt::Answered;
}

}  // namespace

size_t memory_sink_write(char* chunk, size_t size, size_t nmemb, void* sink) {
  auto* reply = static_cast<MemorySink*>(sink);
  size_t n = size * nmemb;
  if (n > kMaxReplyBytes - reply->data.size()) return 0;
  try {
    reply->data.append(chunk, n);
  } catch (const std::bad_alloc&) {
    return 0;  // no exception may cross libcurl
  }
  return n;
}

std::string retry_url(const std::optional<std::string>& url, int failures, int switch_at) {
  if (!url) return std::string();
  if (failures == switch_at && url->starts_with("http://")) return "https://" + url->substr(7);
  return *url;
}

Task<PostResult> http_post_with_retry(RunState& state, std::optional<std::string> url,
                                      Download* download, std::string body, int failures,
                                      std::optional<std::string>* run_url) {
  PostResult result;
  result.url = std::move(url);
  for (;;) {
    const Attempt attempt = co_await post_once(state, result.url ? result.url->c_str() : nullptr,
                                               download, body, result);
    if (attempt == Attempt::NoClient) {
      log_message(state.settings, "Failed to initialize HTTP client");
      co_return result;
    }
    if (attempt == Attempt::Answered) {
      result.ok = true;
      co_return result;
    }
    if (failures >= kFailureLimit) {
      log_message(state.settings, "Aborting http request after %d failures.", failures);
      co_return result;
    }
    // A retry would start at or past the deadline: the request ends here, its attempts so far
    // counted (D26).
    if (state.milliseconds_left() <= int64_t{kRetryWaitSeconds} * 1000) {
      log_message(state.settings, "Aborting http request after %d failures.", failures + 1);
      co_return result;
    }
    std::optional<std::string> old = result.url;
    ++failures;
    result.url = retry_url(old, failures, kHttpsSwitchAt);
    if (run_url) follow_the_run(result.url, *run_url);
    log_message(state.settings,
                "Failed response from %s\nCode: %ld\nWill retry (#%d) in %d seconds on %s",
                old ? old->c_str() : "(null)", result.response_code, failures + 1,
                kRetryWaitSeconds, result.url->c_str());
    co_await state.loop.pause(kRetryWaitSeconds);
  }
}
