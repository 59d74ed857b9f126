// The download request: announcing one record to the relay and filing it by the relay's answer.
#include "client/protocol/download_request.h"

#include "common/relay_status.h"
#include "client/output/log.h"
#include "client/protocol/http_post.h"

std::string build_request_body(RunState& state, const Download& download) {
  const std::string& url = download.url ? *download.url : std::string();
  CurlText escaped;
  {
    TransferHandle handle(&state.connection_cache);
    if (!handle) fatal_error(state.settings, "Failed to init CURL for escape");
    escaped.reset(curl_easy_escape(handle.get(), url.c_str(), static_cast<int>(url.size())));
  }
  if (!escaped) fatal_error(state.settings, "Failed to escape URL");
  const char* sha1 = download.sha1 ? download.sha1->c_str() : "(null)";
  const char* size = download.size ? download.size->c_str() : "(null)";
  if (download.sha256 && !download.sha256->empty())
    return format_text("0\naid=0,index=null,sha1=%s,size=%s,url=%s,sha256=%s\n", sha1, size,
                       escaped.get(), download.sha256->c_str());
  return format_text("0\naid=0,index=null,sha1=%s,size=%s,url=%s\n", sha1, size, escaped.get());
}

std::optional<std::string> send_download_request(RunState& state,
                                                 const std::optional<std::string>& url,
                                                 Download* download) {
  std::string body = build_request_body(state, *download);
  PostResult result = http_post_with_retry(state, url, download, body, 0);
  if (!result.ok) {
    log_message(state.settings, "Discarding request: %s",
                download->url ? download->url->c_str() : "");
    return result.url;
  }
  // A status whose copy could not be kept files the record nowhere.
  DownloadQueue* queue = nullptr;
  switch (download->status ? relay_status_of(*download->status) : RelayStatus::Unknown) {
    case RelayStatus::Available: queue = &state.available_queue; break;
    case RelayStatus::InProcess: queue = &state.inprocess_queue; break;
    default: break;
  }
  if (queue && !queue_push(*queue, download))
    fatal_error(state.settings, "Out of memory while growing queue");
  return result.url;
}
