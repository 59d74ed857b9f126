// The relay's answers: download requests (held without a thread while their fetch runs), the
// mirror (straight from the stored file's descriptor), the health check and the metrics.
#include <microhttpd.h>

#include "relay/byte_range.h"
#include "relay/forwarded_for.h"
#include "relay/relay_log.h"
#include "relay/relay_server.h"
#include "relay/request_body.h"
#include "relay/request_framing.h"

namespace {

// A download request is two short lines; anything longer is not one.
constexpr size_t kMaxRequestBody = size_t{64} * 1024;
// Body bytes read and dropped past the cap so that a chunked body still gets its 413; past
// these the connection is closed unanswered.
constexpr uint64_t kMaxDroppedBody = uint64_t{1} << 20;
constexpr std::string_view kMirrorSha1 = "/kxmirror/downloads/sha1/";
constexpr std::string_view kMirrorSha256 = "/kxmirror/downloads/sha256/";

MHD_Result queue(MHD_Connection* connection, Exchange& exchange, unsigned status,
                 MHD_Response* response) {
  if (!response) return MHD_NO;
  exchange.status = status;
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

// The reply to a download request, with its summary for the log line.
int respond_status(MHD_Connection* connection, Exchange& exchange, const StatusAnswer& answer) {
  const std::string reply = format_status_reply(answer.status, answer.reason);
  exchange.detail += " " + log_escape(reply.substr(2, reply.size() - 3), 300);
  return respond_text(connection, exchange, MHD_HTTP_OK, reply);
}

// The sha1 a download request names, for the log.
std::string requested_sha1(const DownloadAsk& ask) {
  return ask.sha1.empty() ? "-" : log_escape(ask.sha1, 64);
}

// A plain-text reply with one more header, `name: value`.
int respond_text_with(MHD_Connection* connection, Exchange& exchange, unsigned status,
                      std::string_view text, const char* name, const char* value) {
  MHD_Response* response = MHD_create_response_from_buffer(
      text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
  if (response) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
    MHD_add_response_header(response, name, value);
  }
  return queue(connection, exchange, status, response);
}

// 503 with a Retry-After of one second.
int respond_retry_later(MHD_Connection* connection, Exchange& exchange, std::string_view text) {
  return respond_text_with(connection, exchange, MHD_HTTP_SERVICE_UNAVAILABLE, text,
                           MHD_HTTP_HEADER_RETRY_AFTER, "1");
}

bool is_read(std::string_view method) {
  return method == "GET" || method == "HEAD";
}

MHD_Result collect_field(void* cls, MHD_ValueKind, const char* key, size_t key_size,
                         const char* value, size_t value_size) {
  static_cast<std::vector<HeaderField>*>(cls)->emplace_back(std::string_view(key, key_size),
                                                            std::string_view(value, value_size));
  return MHD_YES;
}

// The framing rules over the head libmicrohttpd parsed, and a NUL in the target.
FramingVerdict check_head(MHD_Connection* connection, const Exchange& exchange,
                          std::string_view version) {
  if (exchange.target_has_nul) return FramingVerdict{400, "a NUL in the target"};
  std::vector<HeaderField> fields;
  MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &collect_field, &fields);
  return check_header_fields(fields, version == "HTTP/1.1");
}

// A reply after which the connection is closed: what follows on it cannot be trusted to be
// framed as the client meant.
int respond_and_close(MHD_Connection* connection, Exchange& exchange, unsigned status,
                      std::string_view text) {
  return respond_text_with(connection, exchange, status, text, MHD_HTTP_HEADER_CONNECTION, "close");
}

// 405, with the methods the endpoint takes.
int respond_not_allowed(MHD_Connection* connection, Exchange& exchange, const char* allow) {
  return respond_text_with(connection, exchange, MHD_HTTP_METHOD_NOT_ALLOWED,
                           std::string("use ") + allow + "\n", MHD_HTTP_HEADER_ALLOW, allow);
}

}  // namespace

int respond_text(MHD_Connection* connection, Exchange& exchange, unsigned status,
                 std::string_view text, const char* type) {
  MHD_Response* response = MHD_create_response_from_buffer(
      text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
  if (response) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  return queue(connection, exchange, status, response);
}

bool RelayServer::attribute_client(MHD_Connection* connection, const sockaddr* peer,
                                   Exchange& exchange) {
  socket_address_text(peer, &exchange.client, &exchange.client_port);
  // Any other peer's X-Forwarded-For is not looked at: a client cannot claim another address.
  if (!trusted_proxies_.trusts(peer)) return true;
  std::vector<HeaderField> fields;
  MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &collect_field, &fields);
  std::optional<IpAddress> forwarded = forwarded_client(fields);
  if (!forwarded) return true;  // the balancer's own request, or one it did not name
  exchange.via = exchange.client + ":" + std::to_string(exchange.client_port);
  exchange.client = ip_text(*forwarded);
  if (client_policy_.allows(*forwarded)) return true;
  exchange.detail = " refused: client not allowed";
  return false;
}

int RelayServer::begin_request(MHD_Connection* connection, Exchange& exchange, std::string_view url,
                               std::string_view method, std::string_view version) {
  // Answered before any work, and the connection closed: the body is never read.
  if (FramingVerdict verdict = check_head(connection, exchange, version); verdict.refused()) {
    exchange.detail = std::string(" refused: ") + verdict.reason;
    return respond_and_close(connection, exchange, verdict.status,
                             std::string(verdict.reason) + "\n");
  }
  exchange.url = url;
  exchange.is_read = is_read(method);
  exchange.is_post = method == "POST";
  if (url == "/DownloadRequest") {
    exchange.endpoint = Endpoint::DownloadRequest;
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    // Refused before a byte of it is read; the connection is then closed.
    if (length && numeric_size(length).value_or(UINT64_MAX) > kMaxRequestBody)
      return respond_and_close(connection, exchange, 413, "request body too large\n");
  } else if (url.starts_with("/kxmirror/downloads/")) {
    exchange.endpoint = Endpoint::Mirror;
  } else if (url == "/healthz" || url == "/metrics") {
    exchange.endpoint = Endpoint::Operations;
  }
  // The answer waits for the end of the request: queued earlier, it would close the
  // connection instead of keeping it for the client's next request.
  return MHD_YES;
}

int RelayServer::continue_request(MHD_Connection* connection, Exchange& exchange,
                                  const char* upload_data, size_t* upload_data_size) {
  const size_t length = *upload_data_size;
  *upload_data_size = 0;
  if (exchange.status != 0) return MHD_YES;  // answered already; a body left is dropped
  if (length == 0) {
    if (exchange.dropped > 0)
      return respond_and_close(connection, exchange, 413, "request body too large\n");
    return answer(connection, exchange);
  }
  // Only a download request has a body to keep.
  if (exchange.endpoint != Endpoint::DownloadRequest || !exchange.is_post) return MHD_YES;
  if (exchange.dropped > 0 || exchange.body.size() + length > kMaxRequestBody) {
    // A chunked body announces no length: the rest is read and dropped, for a while, so that
    // the 413 can be sent once it ends (libmicrohttpd queues no reply in the middle of a body).
    exchange.dropped += length;
    return exchange.dropped > kMaxDroppedBody ? MHD_NO : MHD_YES;
  }
  exchange.body.append(upload_data, length);
  return MHD_YES;
}

int RelayServer::answer(MHD_Connection* connection, Exchange& exchange) {
  const std::string_view url = exchange.url;
  switch (exchange.endpoint) {
    case Endpoint::DownloadRequest:
      if (!exchange.is_post) return respond_not_allowed(connection, exchange, "POST");
      return answer_download_request(connection, exchange);
    case Endpoint::Mirror:
      if (!exchange.is_read) return respond_not_allowed(connection, exchange, "GET, HEAD");
      if (url.starts_with(kMirrorSha1))
        return answer_mirror(connection, exchange, DigestKind::Sha1,
                             url.substr(kMirrorSha1.size()));
      if (url.starts_with(kMirrorSha256))
        return answer_mirror(connection, exchange, DigestKind::Sha256,
                             url.substr(kMirrorSha256.size()));
      break;
    case Endpoint::Operations:
      if (!exchange.is_read) return respond_not_allowed(connection, exchange, "GET, HEAD");
      return url == "/healthz" ? answer_healthz(connection, exchange)
                               : answer_metrics(connection, exchange);
    case Endpoint::Other:
    case Endpoint::Count:
      break;
  }
  return respond_text(connection, exchange, 404, "not found\n");
}

int RelayServer::answer_download_request(MHD_Connection* connection, Exchange& exchange) {
  MutexLock lock(exchange.mutex);
  // Called again once a held request is resumed, with its answer.
  if (exchange.answer) return respond_status(connection, exchange, *exchange.answer);
  if (exchange.suspended) return MHD_YES;
  DownloadAsk ask;
  Status parsed = parse_request_body(exchange.body, &ask);
  if (!parsed.ok())
    return respond_text(connection, exchange, 400, log_escape(parsed.message(), 200) + "\n");
  exchange.detail = " sha1=" + requested_sha1(ask);
  std::string unusable = unusable_reason(ask, config_.options.allow_file_origins);
  std::optional<uint64_t> size = numeric_size(ask.size);
  if (unusable.empty() && size && *size > config_.options.max_file_size)
    unusable = "size is above the relay's limit of " +
               std::to_string(config_.options.max_file_size) + " bytes";
  if (!unusable.empty())
    return respond_status(connection, exchange, StatusAnswer{RelayStatus::Invalid, unusable});

  Exchange* held = &exchange;
  std::optional<StatusAnswer> answer =
      scheduler_->ask(ask, exchange.client, [held, connection](StatusAnswer later) {
        MutexLock reply_lock(held->mutex);
        held->answer = std::move(later);
        if (held->suspended) {
          held->suspended = false;
          MHD_resume_connection(connection);
        }
      });
  if (answer) return respond_status(connection, exchange, *answer);
  if (config_.between_ask_and_suspend) config_.between_ask_and_suspend();
  // The connection waits without a thread; the reply above resumes it. The exchange's lock,
  // held since before the question, keeps the reply from coming before the suspension.
  exchange.suspended = true;
  MHD_suspend_connection(connection);
  return MHD_YES;
}

int RelayServer::answer_mirror(MHD_Connection* connection, Exchange& exchange, DigestKind kind,
                               std::string_view hex) {
  StoredFile file;
  const Presence found = store_.open_file(kind, hex, &file);
  // Not yet verified in this run: it may well be served in a moment, so the client hears to come
  // back rather than that the file is gone (the store's verifier checks it next).
  if (found == Presence::Unverified)
    return respond_retry_later(connection, exchange, "not yet verified, try again shortly\n");
  if (found == Presence::Absent)
    return respond_text(connection, exchange, 404, "not in the store\n");
  exchange.served_sha1 = file.sha1;  // released by finish_request()
  const char* header =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_RANGE);
  ByteRange range{0, file.size};
  RangeReply kind_of_reply = choose_range(header ? header : "", file.size, &range);
  if (kind_of_reply == RangeReply::Whole) range = ByteRange{0, file.size};
  const std::string whole = "/" + std::to_string(file.size);
  if (kind_of_reply == RangeReply::Unsatisfiable) {
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (response)
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_RANGE,
                              ("bytes */" + whole.substr(1)).c_str());
    return queue(connection, exchange, 416, response);
  }
  MHD_Response* response =
      range.length == 0
          ? MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT)
          : MHD_create_response_from_fd_at_offset64(range.length, file.fd.get(), range.offset);
  if (!response) return MHD_NO;
  if (range.length != 0) file.fd.release();  // the response closes it once sent
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/octet-stream");
  MHD_add_response_header(response, MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
  unsigned status = MHD_HTTP_OK;
  if (kind_of_reply == RangeReply::Partial) {
    status = MHD_HTTP_PARTIAL_CONTENT;
    const std::string content_range = "bytes " + std::to_string(range.offset) + "-" +
                                      std::to_string(range.offset + range.length - 1) + whole;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_RANGE, content_range.c_str());
  }
  if (exchange.method == "GET") served_.bytes_served += range.length;
  return queue(connection, exchange, status, response);
}

int RelayServer::answer_healthz(MHD_Connection* connection, Exchange& exchange) {
  if (!env_.check_writable_directory(store_.root() + "/sha1").ok())
    return respond_text(connection, exchange, 503, "store not writable\n");
  return respond_text(connection, exchange, 200, "ok\n");
}

void RelayServer::finish_request(const Exchange& exchange) {
  if (!exchange.served_sha1.empty()) store_.finished_serving(exchange.served_sha1);
  ++served_.requests[static_cast<size_t>(exchange.endpoint)]
                    [static_cast<size_t>(status_class(exchange.status))];
  const std::string from = exchange.via.empty()
                               ? exchange.client + ":" + std::to_string(exchange.client_port)
                               : exchange.client + " via " + exchange.via;
  relay_log("%s %s %s %u%s", from.c_str(), exchange.method.c_str(), exchange.path.c_str(),
            exchange.status, exchange.detail.c_str());
}
