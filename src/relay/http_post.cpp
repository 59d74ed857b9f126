// The POST of a download request to the relay, with retries and the move from http to https.
#include "relay/http_post.h"

#include <cstring>
#include <new>

#include "output/log.h"
#include "platform/clock.h"
#include "relay/curl_handles.h"
#include "relay/download_request.h"

namespace {

constexpr int kFailureLimit = 6;
constexpr int kRetryWaitSeconds = 3;
constexpr int kHttpsSwitchAt = 3;
constexpr size_t kStatusBufferSize = 128;

}  // namespace

size_t memory_sink_write(char* chunk, size_t size, size_t nmemb, void* sink) {
  auto* reply = static_cast<memory_sink*>(sink);
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

PostResult http_post_with_retry(const std::optional<std::string>& url, Download* download,
                                const std::string& body, int failures) {
  std::optional<std::string> current = url;
  for (;;) {
    // Declared before the handle that uses them, so that they are freed after that handle.
    CurlSlist headers;
    memory_sink reply;
    TransferHandle handle;
    if (!handle) {
      log_message("Failed to initialize HTTP client");
      return PostResult{0, current};
    }
    const char* current_text = current ? current->c_str() : nullptr;
    headers.reset(curl_slist_append(nullptr, "Content-Type: text/plain"));
    long code = 0;

    set_transfer_options(handle.get(), current_text);
    curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(strlen(body.c_str())));
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, memory_sink_write);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &reply);
    log_debug("Sending request to %s with body: %s", current_text ? current_text : "",
              body.c_str());

    if (curl_easy_perform(handle.get()) == CURLE_OK)
      curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &code);
    if (code >= 200 && code < 300) {
      char token[kStatusBufferSize] = {};
      log_debug("Contents of response: %s", reply.data.c_str());
      if (parse_status(reply.data.c_str(), token, sizeof token)) {
        if (download) {
          try {
            download->status = std::string(token);
          } catch (const std::bad_alloc&) {
            download->status.reset();
          }
        }
        return PostResult{1, current};
      }
    }

    if (failures >= kFailureLimit) {
      log_message("Aborting http request after %d failures.", failures);
      return PostResult{0, current};
    }
    std::optional<std::string> old = current;
    ++failures;
    current = retry_url(old, failures, kHttpsSwitchAt);
    log_message("Failed response from %s\nCode: %ld\nWill retry (#%d) in %d seconds on %s",
                old ? old->c_str() : "(null)", code, failures + 1, kRetryWaitSeconds,
                current->c_str());
    sleep_seconds(kRetryWaitSeconds);
  }
}
