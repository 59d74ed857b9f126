// Micro-benchmark of the digest path: bytes per second of SHA-1 and SHA-256 through Digest,
// fed in the block sizes libcurl hands to the write callback, and through DigestPipeline.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/digest_pipeline.h"
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

void BM_digest_sha1(benchmark::State& state) {
  run_digest(state, DigestKind::Sha1);
}
BENCHMARK(BM_digest_sha1)->RangeMultiplier(4)->Range(64, 256 << 10);

void BM_digest_sha256(benchmark::State& state) {
  run_digest(state, DigestKind::Sha256);
}
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

// A 64 MiB body fed in 512 KiB blocks (the most libcurl hands over at once here), hashed on the
// caller's thread or through the pipeline. Real time is the whole digest; CPU time is the
// caller's thread only, which is what the transfer waits for.
constexpr size_t kBodyBytes = 64 << 20;
constexpr size_t kBodyBlock = 512 << 10;

const std::vector<unsigned char>& body() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> bytes(kBodyBytes);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 131 + 7);
    return bytes;
  }();
  return data;
}

template <typename Sink>
void feed_body(Sink& sink) {
  const auto& data = body();
  for (size_t at = 0; at < data.size(); at += kBodyBlock) sink.update(data.data() + at, kBodyBlock);
}

void BM_digest_sha1_64m_plain(benchmark::State& state) {
  for (auto _ : state) {
    Digest digest(DigestKind::Sha1);
    feed_body(digest);
    std::string hex = to_hex(digest.finish());
    benchmark::DoNotOptimize(hex.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kBodyBytes));
}
BENCHMARK(BM_digest_sha1_64m_plain)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_digest_sha1_64m_pipeline(benchmark::State& state) {
  for (auto _ : state) {
    DigestPipeline pipeline(DigestKind::Sha1);
    feed_body(pipeline);
    std::string hex = pipeline.finish();
    benchmark::DoNotOptimize(hex.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kBodyBytes));
}
BENCHMARK(BM_digest_sha1_64m_pipeline)->UseRealTime()->Unit(benchmark::kMillisecond);

// A small file through the pipeline: shorter than a buffer, so no thread is started.
void BM_digest_sha1_pipeline_whole_4k(benchmark::State& state) {
  std::vector<unsigned char> data(4096, 0x5a);
  for (auto _ : state) {
    DigestPipeline pipeline(DigestKind::Sha1);
    pipeline.update(data.data(), data.size());
    std::string hex = pipeline.finish();
    benchmark::DoNotOptimize(hex.data());
  }
  state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_digest_sha1_pipeline_whole_4k);

}  // namespace
