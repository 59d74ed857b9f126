// Micro-benchmark of the list-line parser: lines per second for each line form.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "client/records/run_state.h"
#include "client/run/list_file.h"
#include "platform/env.h"

namespace {

// Records are kept until the run state is reset; a reset every this many lines bounds memory.
constexpr int64_t kLinesPerReset = 1 << 16;

const char kSha1[] = "3ca25ae354e192b26879f651a51d92aa8a34d8d3";
const char kSha256[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

std::vector<std::string> sample_lines(bool with_sha256, bool sha256_first) {
  std::vector<std::string> lines;
  for (int i = 0; i < 64; ++i) {
    std::string url = "http://origin.invalid/files/package-" + std::to_string(i) + ".bin";
    std::string line = std::string(kSha1) + " " + std::to_string(4096 + i) + " ";
    if (!with_sha256)
      line += url;
    else if (sha256_first)
      line += std::string(kSha256) + "\t" + url;
    else
      line += url + " " + kSha256;
    lines.push_back(line + "\r");
  }
  return lines;
}

void run_parser(benchmark::State& state, const std::vector<std::string>& lines) {
  auto run = std::make_unique<RunState>(system_env());
  int64_t since_reset = 0;
  size_t next = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    const std::string& line = lines[next];
    next = (next + 1) % lines.size();
    parse_list_line(*run, line);
    bytes += static_cast<int64_t>(line.size());
    if (++since_reset == kLinesPerReset) {
      state.PauseTiming();
      run = std::make_unique<RunState>(system_env());
      since_reset = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(bytes);
}

void BM_parse_list_line_three_fields(benchmark::State& state) {
  run_parser(state, sample_lines(false, false));
}
BENCHMARK(BM_parse_list_line_three_fields);

void BM_parse_list_line_url_then_sha256(benchmark::State& state) {
  run_parser(state, sample_lines(true, false));
}
BENCHMARK(BM_parse_list_line_url_then_sha256);

void BM_parse_list_line_sha256_then_url(benchmark::State& state) {
  run_parser(state, sample_lines(true, true));
}
BENCHMARK(BM_parse_list_line_sha256_then_url);

void BM_parse_list_line_too_short(benchmark::State& state) {
  RunState run(system_env());
  const std::string line = std::string(kSha1) + " 4096";
  for (auto _ : state) parse_list_line(run, line);
  benchmark::DoNotOptimize(run.request_queue.count);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_parse_list_line_too_short);

}  // namespace
