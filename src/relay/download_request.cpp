// The download request: announcing one record to the relay and filing it by the relay's answer.
#include "relay/download_request.h"

#include <cctype>
#include <cstring>

#include "output/log.h"
#include "relay/curl_handles.h"
#include "relay/http_post.h"
#include "run/state.h"

std::string build_request_body(const Download& download) {
  const std::string& url = download.url ? *download.url : std::string();
  CurlText escaped;
  {
    TransferHandle handle;
    if (!handle) fatal_error("Failed to init CURL for escape");
    escaped.reset(curl_easy_escape(handle.get(), url.c_str(), static_cast<int>(url.size())));
  }
  if (!escaped) fatal_error("Failed to escape URL");
  const char* sha1 = download.sha1 ? download.sha1->c_str() : "(null)";
  const char* size = download.size ? download.size->c_str() : "(null)";
  if (download.sha256 && !download.sha256->empty())
    return format_text("0\naid=0,index=null,sha1=%s,size=%s,url=%s,sha256=%s\n", sha1, size,
                       escaped.get(), download.sha256->c_str());
  return format_text("0\naid=0,index=null,sha1=%s,size=%s,url=%s\n", sha1, size, escaped.get());
}

std::optional<std::string> send_download_request(const std::optional<std::string>& url,
                                                 Download* download) {
  std::string body = build_request_body(*download);
  PostResult result = http_post_with_retry(url, download, body, 0);
  if (!result.ok) {
    log_message("Discarding request: %s", download->url ? download->url->c_str() : "");
    return result.url;
  }
  if (download->status == "Available")
    queue_push(available_queue, download);
  else if (download->status == "InProcess")
    queue_push(inprocess_queue, download);
  return result.url;
}

int parse_status(const char* reply, char* token, size_t token_size) {
  if (!reply) return 0;
  if (strncmp(reply, "0\n", 2) != 0) return 0;
  if (!strstr(reply, "aid=")) return 0;
  const char* status = strstr(reply, "status=");
  if (!status) return 0;
  const char* at = status + strlen("status=");
  size_t i = 0;
  for (; at[i] != '\0'; ++i) {
    unsigned char c = static_cast<unsigned char>(at[i]);
    if (!std::isalnum(c) && c != '_') break;
    if (i + 1 < token_size) token[i] = static_cast<char>(c);
  }
  if (i == 0) return 0;
  token[i < token_size ? i : token_size - 1] = '\0';
  return 1;
}
