// The download request: announcing one record to the relay and filing it by the relay's answer.
#include "client/protocol/download_request.h"

#include "client/output/log.h"
#include "client/protocol/http_post.h"
#include "common/relay_status.h"

Status build_request_body(RunState& state, const Download& download, std::string* body) {
  const std::string& url = download.url ? *download.url : std::string();
  CurlText escaped;
  {
    TransferHandle handle(&state.connection_cache);
    if (!handle) return fatal_error(state.settings, "Failed to init CURL for escape");
    escaped.reset(curl_easy_escape(handle.get(), url.c_str(), static_cast<int>(url.size())));
  }
  if (!escaped) return fatal_error(state.settings, "Failed to escape URL");
  const char* sha1 = download.sha1 ? download.sha1->c_str() : "(null)";
  const char* size = download.size ? download.size->c_str() : "(null)";
  if (download.sha256 && !download.sha256->empty())
    *body = format_text("0\naid=0,index=null,sha1=%s,size=%s,url=%s,sha256=%s\n", sha1, size,
                        escaped.get(), download.sha256->c_str());
  else
    *body = format_text("0\naid=0,index=null,sha1=%s,size=%s,url=%s\n", sha1, size, escaped.get());
  return Status();
}

Task<Status> send_download_request(RunState& state, std::optional<std::string>& url,
                                   Download* download) {
  std::string body;
  if (Status built = build_request_body(state, *download, &body); !built.ok()) co_return built;
  PostResult result = co_await http_post_with_retry(state, url, download, std::move(body), 0);
  // Once a request has moved to https, every request made after it starts there; a request
  // that began before the move and was answered on http does not move the run back.
  if (result.url && result.url->starts_with("https://")) url = result.url;
  if (!result.ok) {
    log_message(state.settings, "Discarding request: %s",
                download->url ? download->url->c_str() : "");
    download->failure =
        result.transfer_result != CURLE_OK
            ? format_text("the relay did not answer: %s",
                          curl_easy_strerror(result.transfer_result))
            : format_text("the relay did not answer: it replied %ld", result.response_code);
    log_debug(state.settings, "Reason: %s", download->failure->c_str());
    co_return Status();
  }
  // A status whose copy could not be kept files the record nowhere.
  DownloadQueue* queue = nullptr;
  switch (download->status ? relay_status_of(*download->status) : RelayStatus::Unknown) {
    case RelayStatus::Available:
      queue = &state.available_queue;
      break;
    case RelayStatus::InProcess:
      queue = &state.inprocess_queue;
      break;
    default: {
      // The relay refused or dropped the file: it leaves the run here, with the relay's reason.
      std::string why = "the relay answered " + download->status.value_or("nothing it could keep");
      if (download->failure) why += ": " + *download->failure;
      download->failure = std::move(why);
      log_debug(state.settings, "Reason: %s", download->failure->c_str());
      break;
    }
  }
  if (queue) download->failure.reset();
  if (queue && !queue_push(*queue, download))
    co_return fatal_error(state.settings, "Out of memory while growing queue");
  co_return Status();
}
