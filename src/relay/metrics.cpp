// GET /metrics: the relay's counters in the Prometheus text format.
#include <microhttpd.h>

#include <cstdio>
#include <iterator>
#include <tuple>

#include "common/passwords.h"
#include "relay/relay_server.h"

namespace {

constexpr const char* kEndpointNames[] = {"download_request", "mirror", "operations", "other"};
static_assert(std::size(kEndpointNames) == kEndpointCount, "a name for every endpoint");
constexpr const char* kStatusClasses[] = {"1xx", "2xx", "3xx", "4xx", "5xx", "other"};
static_assert(std::size(kStatusClasses) == kStatusClassCount, "a name for every status class");
static_assert(std::tuple_size_v<decltype(SchedulerCounts::fetch_ends)> ==
                  static_cast<size_t>(OriginFetchEnd::Count),
              "a counter for every end of a fetch");

void metric(std::string* text, const char* name, const char* type, const char* help) {
  *text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// One sample; a label that names a URL shows it without its password, as the log does.
void sample(std::string* text, const std::string& name, uint64_t value) {
  *text += hide_passwords(name) + " " + std::to_string(value) + "\n";
}

}  // namespace

int RelayServer::answer_metrics(MHD_Connection* connection, Exchange& exchange) {
  const SchedulerCounts fetches = scheduler_->counts();
  const StoreCounts store = store_.counts();
  std::string text;
  metric(&text, "quonfetch_relay_requests_total", "counter",
         "Requests answered, by endpoint and status class.");
  for (size_t e = 0; e < kEndpointCount; ++e)
    for (size_t s = 0; s < kStatusClassCount; ++s)
      if (uint64_t count = served_.requests[e][s])
        sample(&text,
               std::string("quonfetch_relay_requests_total{endpoint=\"") + kEndpointNames[e] +
                   "\",status=\"" + kStatusClasses[s] + "\"}",
               count);
  metric(&text, "quonfetch_relay_fetches_running", "gauge", "Origin fetches running.");
  sample(&text, "quonfetch_relay_fetches_running", fetches.running);
  metric(&text, "quonfetch_relay_fetches_queued", "gauge", "Origin fetches waiting for a place.");
  sample(&text, "quonfetch_relay_fetches_queued", fetches.queued);
  metric(&text, "quonfetch_relay_requests_held", "gauge",
         "Download requests held for a fetch to end.");
  sample(&text, "quonfetch_relay_requests_held", fetches.held);
  metric(&text, "quonfetch_relay_queue_full_total", "counter",
         "Download requests answered InProcess without queueing: the queue was full.");
  sample(&text, "quonfetch_relay_queue_full_total", fetches.refused_full);
  metric(&text, "quonfetch_relay_fetches_total", "counter", "Origin fetches ended, by result.");
  for (size_t end = 0; end < fetches.fetch_ends.size(); ++end)
    sample(&text,
           "quonfetch_relay_fetches_total{result=\"" +
               std::string(fetch_end_name(static_cast<OriginFetchEnd>(end))) + "\"}",
           fetches.fetch_ends[end]);
  metric(&text, "quonfetch_relay_fetched_bytes_total", "counter", "Bytes received from origins.");
  sample(&text, "quonfetch_relay_fetched_bytes_total", fetches.bytes_fetched);
  metric(&text, "quonfetch_relay_served_bytes_total", "counter",
         "Bytes of mirror replies (GET) handed to the HTTP server.");
  sample(&text, "quonfetch_relay_served_bytes_total", served_.bytes_served);
  metric(&text, "quonfetch_relay_store_files", "gauge", "Files in the store.");
  sample(&text, "quonfetch_relay_store_files", store.files);
  metric(&text, "quonfetch_relay_store_bytes", "gauge", "Bytes of the files in the store.");
  sample(&text, "quonfetch_relay_store_bytes", store.bytes);
  metric(&text, "quonfetch_relay_store_removed_total", "counter",
         "Files removed from the store, by cause.");
  sample(&text, "quonfetch_relay_store_removed_total{cause=\"evicted\"}", store.evicted);
  sample(&text, "quonfetch_relay_store_removed_total{cause=\"corrupt\"}", store.corrupt);
  return respond_text(connection, exchange, MHD_HTTP_OK, text,
                      "text/plain; version=0.0.4; charset=utf-8");
}
