// Micro-benchmark of the ring-buffer work queues: pushes and pops per second.
#include <benchmark/benchmark.h>

#include <vector>

#include "client/records/download.h"

namespace {

// Fills a queue of range(0) records from empty (growing it), then drains it.
void BM_queue_fill_then_drain(benchmark::State& state) {
  const auto length = static_cast<size_t>(state.range(0));
  std::vector<Download> records(length);
  for (auto _ : state) {
    DownloadQueue queue;
    for (Download& record : records) benchmark::DoNotOptimize(queue_push(queue, &record));
    while (Download* front = queue_pop_front(queue)) benchmark::DoNotOptimize(front);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(length) * 2);
}
BENCHMARK(BM_queue_fill_then_drain)->Range(8, 1 << 20);

// One pop and one push per step on a queue that holds range(0) records: the polling pass moves
// records from the front to the back like this, and the ring never has to grow.
void BM_queue_rotate(benchmark::State& state) {
  const auto length = static_cast<size_t>(state.range(0));
  std::vector<Download> records(length);
  DownloadQueue queue;
  for (Download& record : records) benchmark::DoNotOptimize(queue_push(queue, &record));
  for (auto _ : state) benchmark::DoNotOptimize(queue_push(queue, queue_pop_front(queue)));
  benchmark::DoNotOptimize(queue.head);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_queue_rotate)->Range(8, 1 << 20);

}  // namespace
