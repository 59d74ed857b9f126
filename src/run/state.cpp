// The process-wide state of a run: settings, deadline, the work queues and the success count.
#include "run/state.h"

Settings settings;
std::deque<Download> download_records;
DownloadQueue request_queue;
DownloadQueue inprocess_queue;
DownloadQueue available_queue;
int32_t success_count = 0;
int64_t deadline = 0;

void reset_run_state() {
  settings = Settings{};
  request_queue = DownloadQueue{};
  inprocess_queue = DownloadQueue{};
  available_queue = DownloadQueue{};
  download_records.clear();
  success_count = 0;
  deadline = 0;
}
