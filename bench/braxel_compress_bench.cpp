// Speed of the braxel LZ77 compressor and decoder on the standard inputs: 10 MiB of mixed text
// and code (mixed.bin) and 16 MiB of image-like data with large uniform areas (image16.bin).
// Inputs come from bench/braxel_inputs.sh under $PERF_DIR/in (default /tmp/perf/in).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/cli/console/console.h"

namespace {

std::vector<std::uint8_t> load(const std::string& name) {
  const char* dir = std::getenv("PERF_DIR");
  const std::string path = std::string(dir ? dir : "/tmp/perf") + "/in/" + name;
  std::ifstream f(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), {});
}

void compress_bench(benchmark::State& state, const char* name) {
  const std::vector<std::uint8_t> data = load(name);
  if (data.empty()) {
    state.SkipWithError("input missing: run bench/braxel_inputs.sh");
    return;
  }
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    out.clear();
    lz77_compress(data.data(), static_cast<std::int64_t>(data.size()), out, false);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  state.counters["ratio"] = static_cast<double>(out.size()) / static_cast<double>(data.size());
}

void decompress_bench(benchmark::State& state, const char* name) {
  const std::vector<std::uint8_t> data = load(name);
  if (data.empty()) {
    state.SkipWithError("input missing: run bench/braxel_inputs.sh");
    return;
  }
  std::vector<std::uint8_t> stream;
  lz77_compress(data.data(), static_cast<std::int64_t>(data.size()), stream, false);
  std::vector<std::uint8_t> out(data.size());
  for (auto _ : state) {
    if (decode_lz77(stream, out) != DecodeStatus::kOk) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void literal_bench(benchmark::State& state, const char* name) {
  std::vector<std::uint8_t> data = load(name);
  data.resize(data.size() & ~std::size_t{3});
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    out.clear();
    literal_wrap(data.data(), static_cast<std::int64_t>(data.size()), out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

const bool kReady = (console_init(), true);

BENCHMARK_CAPTURE(compress_bench, mixed, "mixed.bin")->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_CAPTURE(compress_bench, image16, "image16.bin")->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_CAPTURE(decompress_bench, mixed, "mixed.bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decompress_bench, image16, "image16.bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(literal_bench, mixed, "mixed.bin")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
