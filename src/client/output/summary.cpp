// The closing summary for a person at a terminal: which files did not arrive, and why.
#include "client/output/summary.h"

#include <string>
#include <vector>

#include "client/output/log.h"

namespace {

// The name the record's file would have had: the last segment of its URL, or download.bin.
std::string name_of(const Download& download) {
  const std::string url = download.url.value_or("");
  const size_t slash = url.rfind('/');
  if (slash == std::string::npos || slash + 1 == url.size()) return "download.bin";
  return url.substr(slash + 1);
}

}  // namespace

void write_not_downloaded(const RunState& state, FILE* out) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < state.request_queue.count; ++i) {
    const Download& download = *queue_at(state.request_queue, i);
    if (download.stored) continue;
    lines.push_back(
        escape_control_characters(name_of(download) + "  " + download.sha1.value_or("-") + "  " +
                                  download.failure.value_or("no answer from the relay")));
  }
  if (lines.empty()) return;
  std::string text = format_text("%zu file(s) not downloaded:\n", lines.size());
  for (const std::string& line : lines) text += "  " + line + "\n";
  fwrite(text.data(), 1, text.size(), out);
  fflush(out);
}
