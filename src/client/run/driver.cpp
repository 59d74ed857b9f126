// The polling driver: announce every record, poll while the relay works, fetch what is ready.
#include "client/run/driver.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "client/output/log.h"
#include "client/output/progress_meter.h"
#include "client/protocol/download_request.h"
#include "client/protocol/file_retrieval.h"
#include "common/hex.h"
#include "platform/addresses.h"
#include "platform/file_names.h"

namespace {

constexpr size_t kBaseUrlBufferSize = 2048;
constexpr int kPauseWhileWaiting = 30;
constexpr int kPauseAfterFetching = 1;

// The text after the last '/' of the origin URL, verbatim (on Windows, bytes that are not UTF-8
// read in the system's code page); none when there is no '/' or nothing follows the last one.
std::optional<std::string> file_name_of(const std::optional<std::string>& url) {
  if (!url) return std::nullopt;
  size_t slash = url->rfind('/');
  if (slash == std::string::npos || slash + 1 == url->size()) return std::nullopt;
  return file_name_text(std::string_view(*url).substr(slash + 1));
}

// Why the record's file may not be written, or nothing when it may: its name must be a plain
// file name of this platform (D19), and its path neither the run's log file nor its list file
// (D21). A refused record fails before any transfer, with the reason on a line of its own.
std::optional<std::string> target_refused(const Settings& settings,
                                          const std::optional<std::string>& name) {
  const std::string path = output_path(settings, name);
  std::optional<std::string> refused;
  if (!is_plain_file_name(name && !name->empty() ? *name : "download.bin"))
    refused = "Error opening file for write: " + escape_control_characters(path);
  else if (settings.log_path && same_target(path, *settings.log_path))
    refused = "Error: " + path + " is the log file of this run";
  else if (settings.list_path && same_target(path, *settings.list_path))
    refused = "Error: " + path + " is the list file of this run";
  if (refused) log_message(settings, "%s", refused->c_str());
  return refused;
}

// What a record's file is, for telling two records of one file name apart: its sha1, or its
// sha256 when it has no sha1, in lower case.
std::string file_identity(const Download& download) {
  if (download.sha1 && !download.sha1->empty()) return lower_hex(*download.sha1);
  return "sha256:" + lower_hex(download.sha256.value_or(""));
}

// When this run already stored another record's file under the path `name` leads to, that file
// is kept and this record fails (D11): the line that says so.
std::optional<std::string> taken_by_another(RunState& state, const std::optional<std::string>& name,
                                            const Download& download) {
  const std::string path = output_path(state.settings, name);
  auto written = state.files_written.find(file_system_name(path));
  if (written == state.files_written.end() || written->second == file_identity(download))
    return std::nullopt;
  std::string line = "Error: " + path + " was already written by this run";
  log_message(state.settings, "%s", line.c_str());
  return line;
}

// Counts a file that arrived whole, and remembers whose file its path now holds.
void count_stored(RunState& state, const std::optional<std::string>& name, Download& download) {
  state.files_written[file_system_name(output_path(state.settings, name))] =
      file_identity(download);
  download.stored = true;
  download.failure.reset();
  ++state.success_count;
}

// The part file a fetch of the record keeps its bytes in with -c, held for as long as the fetch
// runs: none without -c, and none while another fetch of the same file (a record of the same
// sha1 under another name) holds it.
class PartInUse {
 public:
  PartInUse(RunState& state, const std::string& target, const Download& download) : state_(state) {
    if (!state.settings.keep_partial) return;
    std::optional<std::string> part = part_file_path(target, download.sha1);
    if (part && state_.parts_in_use.insert(file_system_name(*part)).second) path_ = part;
  }
  ~PartInUse() {
    if (path_) state_.parts_in_use.erase(file_system_name(*path_));
  }
  PartInUse(const PartInUse&) = delete;
  PartInUse& operator=(const PartInUse&) = delete;
  const std::optional<std::string>& path() const { return path_; }

 private:
  RunState& state_;
  std::optional<std::string> path_;
};

// One mirror URL of the record: fetched, counted when it arrived whole, otherwise reported
// with its error line and, with -d, the reason. A Fatal status ends the run.
Task<Status> try_mirror(RunState& state, std::string url, DigestKind kind,
                        std::optional<std::string> name, Download& download, BatchMeter* batch) {
  FetchOutcome outcome;
  if (!url.empty()) {
    const std::optional<std::string>& digest =
        kind == DigestKind::Sha1 ? download.sha1 : download.sha256;
    PartInUse part(state, output_path(state.settings, name), download);
    outcome = co_await download_file(state, url, name, digest_check_for(kind, digest),
                                     download.size, batch, part.path());
    if (outcome.end == FetchEnd::RunEnded) co_return outcome.reason;
    if (outcome.end == FetchEnd::Stored) {
      count_stored(state, name, download);
      co_return Status();
    }
  }
  log_message(state.settings, "Error downloading %s Response:%ld", url.c_str(), outcome.status);
  if (!url.empty()) {
    download.failure = outcome.reason.message();
    log_debug(state.settings, "Reason: %s", download.failure->c_str());
  }
  co_return Status();
}

// A path being fetched to, held for as long as the fetch runs.
class PathInFlight {
 public:
  PathInFlight(RunState& state, std::string path, const std::string& identity)
      : state_(state), path_(std::move(path)) {
    auto& entry = state_.files_in_flight[path_];
    entry.first = identity;
    ++entry.second;
  }
  ~PathInFlight() {
    auto entry = state_.files_in_flight.find(path_);
    if (entry != state_.files_in_flight.end() && --entry->second.second == 0)
      state_.files_in_flight.erase(entry);
  }
  PathInFlight(const PathInFlight&) = delete;
  PathInFlight& operator=(const PathInFlight&) = delete;

 private:
  RunState& state_;
  std::string path_;
};

// True while another record's file is being fetched to `path`.
bool fetched_for_another(const RunState& state, const std::string& path,
                         const std::string& identity) {
  auto entry = state.files_in_flight.find(path);
  return entry != state.files_in_flight.end() && entry->second.first != identity;
}

// Tries the sha1 mirror URL, then the sha256 one; counts a file that arrived whole. While
// another record's file is being fetched to the same path, the record waits for that fetch to
// end, so that the record first in the list decides (D11), as when they run one at a time.
Task<Status> fetch_record(RunState& state, const std::string& base_url, Download& download,
                          BatchMeter* batch) {
  std::optional<std::string> name = file_name_of(download.url);
  std::optional<std::string> refused = target_refused(state.settings, name);
  std::optional<PathInFlight> in_flight;
  if (!refused) {
    const std::string path = file_system_name(output_path(state.settings, name));
    while (fetched_for_another(state, path, file_identity(download))) co_await state.loop.pause(1);
    in_flight.emplace(state, path, file_identity(download));
    refused = taken_by_another(state, name, download);
  }
  if (refused) {
    download.failure = std::move(refused);
    co_return Status();
  }
  std::string sha1_url, sha256_url;
  if (download.sha1 && !download.sha1->empty())
    sha1_url = mirror_url(base_url, DigestKind::Sha1, *download.sha1);
  if (download.sha256 && !download.sha256->empty())
    sha256_url = mirror_url(base_url, DigestKind::Sha256, *download.sha256);

  Status first = co_await try_mirror(state, sha1_url, DigestKind::Sha1, name, download, batch);
  if (!first.ok() || download.stored || sha256_url.empty()) co_return first;
  co_return co_await try_mirror(state, sha256_url, DigestKind::Sha256, name, download, batch);
}

// Gives the record `why` as its failure when the task that holds it is dropped before its end:
// the deadline ended it.
class FailureIfDropped {
 public:
  FailureIfDropped(Download& download, const char* why) : download_(download), why_(why) {}
  ~FailureIfDropped() {
    if (!ended_) download_.failure = why_;
  }
  FailureIfDropped(const FailureIfDropped&) = delete;
  FailureIfDropped& operator=(const FailureIfDropped&) = delete;
  void ended() { ended_ = true; }

 private:
  Download& download_;
  const char* why_;
  bool ended_ = false;
};

// fetch_record, and the record's end shown on the meter of its pass.
Task<Status> fetch_available(RunState& state, const std::string& base_url, Download& download,
                             BatchMeter* batch) {
  FailureIfDropped dropped(download, "the deadline passed during its download");
  Status fetched = co_await fetch_record(state, base_url, download, batch);
  dropped.ended();
  if (batch) batch->file_ended(state.env.monotonic_milliseconds());
  co_return fetched;
}

size_t width_of(const RunState& state) {
  return static_cast<size_t>(state.settings.jobs > 0 ? state.settings.jobs : 1);
}

// The bytes the first `count` records of the available queue are expected to bring, when the
// size of every one is known.
std::optional<uint64_t> expected_bytes(const RunState& state, size_t count) {
  std::optional<uint64_t> total = 0;
  for (size_t i = 0; i < count && total; ++i) {
    std::optional<uint64_t> size = expected_size_of(queue_at(state.available_queue, i)->size);
    total = size && *size <= UINT64_MAX - *total ? std::optional(*total + *size) : std::nullopt;
  }
  return total;
}

// When the deadline comes, on the environment's millisecond clock: the end of a polling
// pass's batches. None when there is no deadline.
std::optional<int64_t> deadline_ms(const RunState& state) {
  if (state.deadline_ms == INT64_MAX) return std::nullopt;
  return state.deadline_ms;
}

// Fetches every available record, side by side up to the run's width, until the deadline.
Status fetch_pass(RunState& state, const std::string& base_url) {
  const size_t available = state.available_queue.count;
  log_message(state.settings, "%zu download(s) available.", available);
  // Fetched one at a time, each has a meter of its own; side by side, they share one.
  std::optional<BatchMeter> meter;
  if (width_of(state) > 1)
    meter.emplace(available, expected_bytes(state, available), state.env.monotonic_milliseconds());
  BatchMeter* batch = meter ? &*meter : nullptr;
  return state.loop.run_batch(
      available, width_of(state),
      [&](size_t) {
        return fetch_available(state, base_url, *queue_pop_front(state.available_queue), batch);
      },
      deadline_ms(state));
}

// The download request of a record in process, asked again.
Task<Status> ask_again(RunState& state, std::optional<std::string>& request_url,
                       Download& download) {
  FailureIfDropped dropped(download, "still InProcess at the deadline");
  Status sent = co_await send_download_request(state, request_url, &download);
  dropped.ended();
  co_return sent;
}

// Asks again about every record in process, side by side up to the run's width, until the
// deadline; a record whose request the deadline ends is still in process.
Status status_pass(RunState& state, std::optional<std::string>& request_url) {
  return state.loop.run_batch(
      state.inprocess_queue.count, width_of(state),
      [&](size_t) {
        return ask_again(state, request_url, *queue_pop_front(state.inprocess_queue));
      },
      deadline_ms(state));
}

// Announces every record of the request queue, side by side up to the run's width. The
// deadline ends none of them: each is tried at least once, so that the relay hears of every
// file.
Status initial_requests(RunState& state, std::optional<std::string>& request_url) {
  return state.loop.run_batch(state.request_queue.count, width_of(state), [&](size_t i) {
    return send_download_request(state, request_url, queue_at(state.request_queue, i));
  });
}

// The pause between two passes, as a timer of the run's loop.
Task<Status> pause_for(RunState& state, int seconds) {
  co_await state.loop.pause(seconds);
  co_return Status();
}

// One polling pass: fetch what is available, ask again about what is in process, and pause
// while the relay is still working. The deadline ends the pass where it stands (D26), and no
// pause runs past it.
Status polling_pass(RunState& state, const std::string& base_url,
                    std::optional<std::string>& request_url) {
  int pause = kPauseWhileWaiting;
  if (state.available_queue.count > 0) {
    if (Status fetched = fetch_pass(state, base_url); !fetched.ok()) return fetched;
    pause = kPauseAfterFetching;
  }

  const size_t in_process = state.inprocess_queue.count;
  if (in_process == 0 || state.deadline_passed()) return Status();
  log_message(state.settings, "Checking status of %zu downloads.", in_process);
  if (Status sent = status_pass(state, request_url); !sent.ok()) return sent;

  // Whole seconds, rounded up: the pause ends at the deadline or just after it.
  pause = static_cast<int>(std::min<int64_t>(pause, (state.milliseconds_left() + 999) / 1000));
  if (pause > 0 && state.inprocess_queue.count > 0 && state.available_queue.count == 0) {
    log_message(state.settings, "Sleeping for %d seconds...", pause);
    return state.loop.run(pause_for(state, pause)).value_or(Status());
  }
  return Status();
}

// The records the deadline left waiting say so.
void mark_unfinished(RunState& state) {
  for (size_t i = 0; i < state.inprocess_queue.count; ++i)
    queue_at(state.inprocess_queue, i)->failure = "still InProcess at the deadline";
  for (size_t i = 0; i < state.available_queue.count; ++i)
    queue_at(state.available_queue, i)->failure = "Available, not fetched before the deadline";
}

}  // namespace

std::string relay_base_url(const Settings& settings) {
  const std::string relay = settings.relay.value_or("(null)");
  // "http://::1:52311" could never be reached: an address with colons needs its brackets (D12).
  if (is_ipv6_literal(relay))
    return format_bounded(kBaseUrlBufferSize, "http://[%s]:%d", relay.c_str(), settings.port);
  return format_bounded(kBaseUrlBufferSize, "http://%s:%d", relay.c_str(), settings.port);
}

Status run_downloads(RunState& state) {
  const Settings& settings = state.settings;
  std::string base_url = relay_base_url(settings);
  std::optional<std::string> request_url = base_url + "/DownloadRequest";
  log_message(settings, "Sending download requests for %zu download(s) on %s",
              state.request_queue.count, base_url.c_str());
  state.loop.set_connection_limit(static_cast<long>(width_of(state)));
  state.fix_deadline();
  if (Status sent = initial_requests(state, request_url); !sent.ok()) return sent;

  // A relay that only answered on https during the first requests serves its mirror there too.
  if (request_url && request_url->starts_with("https"))
    base_url = format_bounded(kBaseUrlBufferSize, "https://%s", base_url.c_str() + 7);

  while (state.clock.now() < state.deadline) {
    if (state.inprocess_queue.count == 0 && state.available_queue.count == 0) break;
    if (Status pass = polling_pass(state, base_url, request_url); !pass.ok()) return pass;
  }

  if (state.clock.now() >= state.deadline) {
    mark_unfinished(state);
    log_message(settings, "Timeout of %d minute(s) reached.", settings.timeout_minutes);
  }
  log_message(settings, "%d download(s) successfully downloaded.", state.success_count);
  return Status();
}
