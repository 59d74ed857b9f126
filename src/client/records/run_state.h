// The state of one run: its settings, deadline, records, work queues and success count, and
// what every exchange of the run shares. main() builds one and passes it down; tests build
// their own.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "client/records/download.h"
#include "common/curl_handles.h"
#include "common/exchange_loop.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/file_names.h"

/// Run settings, filled once from the command line and read-only afterwards.
struct Settings {
  std::optional<std::string> relay;
  int32_t port = 52311;
  std::optional<std::string> list_path;
  std::optional<std::string> sha1;
  std::optional<std::string> sha256;
  std::optional<std::string> size;
  std::optional<std::string> url;
  std::optional<std::string> log_path;
  std::optional<std::string> output_dir;
  int32_t timeout_minutes = 60;
  bool verbose = false;
  /// How many exchanges with the relay may run at once (-j, 1 to 64).
  int32_t jobs = 1;
  /// The -j value as given, until parse_command_line() has checked it.
  std::optional<std::string> jobs_text;
  /// -c: a download cut short keeps its bytes in a part file, which the next run with -c
  /// continues.
  bool keep_partial = false;

  /// Messages are appended to the log file exactly when one was named.
  bool log_enabled() const { return log_path.has_value(); }
};

struct RunState {
  /// `env` must outlive the state.
  explicit RunState(Env& run_env) : env(run_env), clock(run_env) {}
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;

  Settings settings;
  /// The second (on the clock's scale) at which the run stops waiting for the relay (D26): no
  /// attempt is retried and no polling pass starts or goes on after it. None until the command
  /// line sets it.
  int64_t deadline = INT64_MAX;
  /// Every record of the run, in the order they were made (the records' storage).
  DownloadRecords download_records;
  DownloadQueue request_queue;
  DownloadQueue inprocess_queue;
  DownloadQueue available_queue;
  int32_t success_count = 0;
  /// The files this run has stored, by path: what the record that wrote each was (its sha1, or
  /// its sha256 when it has no sha1), so that no record replaces another's file. Paths are told
  /// apart as the file system tells them apart (on Windows without regard to case, and a short
  /// 8.3 spelling by its long name: file_system_name()).
  std::map<std::string, std::string, PathOrder> files_written;
  /// The paths being fetched to now, told apart as files_written tells them: what record's
  /// file each is (as there), and how many fetches of it run.
  std::map<std::string, std::pair<std::string, int>, PathOrder> files_in_flight;
  /// The part files (-c) that fetches write now, told apart as files_written tells them.
  std::set<std::string, PathOrder> parts_in_use;

  /// Where the run reaches the operating system: its files, folders and time.
  Env& env;
  /// Where the run reads the time and waits: the environment's clock.
  Clock& clock;
  /// A mirror fetch's limits: D7's stall guard, and 30 s to connect (D26).
  TransferLimits fetch_limits{.connect_timeout_seconds = 30};
  /// A download request's limits: its reply is a few bytes, so 60 s without one fails it (D26).
  TransferLimits request_limits{.low_speed_seconds = 60, .connect_timeout_seconds = 30};
  /// DNS answers and TLS sessions shared by every exchange of the run, and a spare easy handle.
  ConnectionCache connection_cache;
  /// The deadline on the environment's millisecond clock, which the waits of the run measure;
  /// none until fix_deadline().
  int64_t deadline_ms = INT64_MAX;
  /// Sets deadline_ms from the deadline, when a run starts.
  void fix_deadline();
  /// Milliseconds until the deadline; 0 once it has come.
  int64_t milliseconds_left();
  bool deadline_passed() { return milliseconds_left() == 0; }

  /// Where every exchange of the run runs, and keeps its connections; declared after the cache
  /// so that it ends first.
  ExchangeLoop loop{env};
};
