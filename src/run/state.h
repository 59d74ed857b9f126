// The process-wide state of a run: settings, deadline, the work queues and the success count.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "run/download.h"

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
  int verbose = 0;
  int log_enabled = 0;
};

extern Settings settings;
/// Every record of the run, in the order they were made (the records' storage).
extern std::deque<Download> download_records;
extern DownloadQueue request_queue;
extern DownloadQueue inprocess_queue;
extern DownloadQueue available_queue;
extern int32_t success_count;
/// The second (on the clock's scale) after which no new polling pass starts.
extern int64_t deadline;

/// Puts every value above back to its start value. For tests.
void reset_run_state();
