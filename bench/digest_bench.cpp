// Micro-benchmark of the digest path: bytes per second of SHA-1 and SHA-256 through Digest,
// fed in the block sizes libcurl hands to the write callback.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/hex.h"
#include "platform/digest.h"

namespace {

void run_digest(benchmark::State& state, DigestKind kind) {
  const auto block = static_cast<size_t>(state.range(0));
  std::vector<unsigned char> data(block);
  for (size_t i = 0; i < block; ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
  Digest digest(kind);
  for (auto _ : state) digest.update(data.data(), data.size());
  std::string hex = to_hex(digest.finish());
  benchmark::DoNotOptimize(hex.data());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(block));
}

void BM_digest_sha1(benchmark::State& state) { run_digest(state, DigestKind::Sha1); }
BENCHMARK(BM_digest_sha1)->RangeMultiplier(4)->Range(64, 256 << 10);

void BM_digest_sha256(benchmark::State& state) { run_digest(state, DigestKind::Sha256); }
BENCHMARK(BM_digest_sha256)->RangeMultiplier(4)->Range(64, 256 << 10);

// A whole small file: context, update and hex, as each 4 KiB download costs.
void BM_digest_sha1_whole_4k(benchmark::State& state) {
  std::vector<unsigned char> data(4096, 0x5a);
  for (auto _ : state) {
    Digest digest(DigestKind::Sha1);
    digest.update(data.data(), data.size());
    std::string hex = to_hex(digest.finish());
    benchmark::DoNotOptimize(hex.data());
  }
  state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_digest_sha1_whole_4k);

}  // namespace
