// The data stream reading a 64 MiB stream file (page-cached) in 8192-byte reads through one tap
// into rings of 64 KB to 1 MB, its consumer giving each chunk back at once and waiting for the
// next in STREAM_wait, beside `cat FILE > /dev/null` in the same run. With "--ticks SECONDS
// [busy]" it instead records the intervals of the 100 Hz tick timer (with two spinning threads
// beside it when "busy" is given) and prints their distribution.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "quillon/runtime/filesys.h"
#include "quillon/runtime/stream.h"
#include "quillon/runtime/timer.h"

namespace {

constexpr size_t kFileSize = 64u << 20;

std::string stream_file() {
  const char* dir = std::getenv("PERF_DIR");
  const std::string path = std::string(dir ? dir : "/tmp/perf") + "/stream64.asf";
  if (std::ifstream(path).good()) return path;
  std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
  std::ofstream out(path, std::ios::binary);
  auto chunk = [&](const char* id, uint32_t size) {
    std::vector<char> c(size, 0x5A);
    std::memcpy(c.data(), id, 4);
    for (int i = 0; i < 4; ++i) c[4 + i] = static_cast<char>(size >> (8 * i));
    out.write(c.data(), size);
  };
  chunk("SCHl", 64);
  size_t written = 64;
  uint32_t rng = 1;
  while (written + 9000 < kFileSize) {
    rng = rng * 1664525u + 1013904223u;
    const uint32_t size = 2048 + (rng >> 8) % 6144;  // the sizes of QV-XA data chunks
    chunk("SCDl", size);
    written += size;
  }
  chunk("SCEl", 8);
  return path;
}

void BM_StreamFile(benchmark::State& state) {
  const std::string path = stream_file();
  std::system(("cat '" + path + "' > /dev/null").c_str());  // into the page cache
  FILESYS_init(2, 0, 16);
  std::vector<uint8_t> memory(STREAM_memsize(2, 1, 1) + (static_cast<size_t>(state.range(0)) << 10));
  const auto file_size = static_cast<int64_t>(std::filesystem::file_size(path));
  for (auto _ : state) {
    int64_t bytes = 0;
    STREAM* s = STREAM_create(2, 1, 1, memory.data(), memory.size());
    STREAM_queuefile(s, path.c_str(), 0, 0x6C454353);  // "SCEl"
    // The consumer sleeps in STREAM_wait whenever the tap is empty, as a player thread would.
    for (;;) {
      if (void* c = STREAM_get(s)) {
        uint32_t size;
        std::memcpy(&size, static_cast<uint8_t*>(c) + 4, 4);
        bytes += size;
        STREAM_release(s, c);
      } else if (STREAM_isendofstream(s)) {
        break;
      } else {
        STREAM_wait(s, 100);
      }
    }
    STREAM_destroy(s);
    if (bytes != file_size) state.SkipWithError("the stream lost chunks");
  }
}
// Five repetitions of each, run interleaved with cat's (see main), reported as the best wall time
// and the best CPU time of the whole process (the consumer and the device thread together) for
// one pass over the 64 MiB file. MiB/s = 64 / the best time.
double best(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

void best_of_five(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MeasureProcessCPUTime()
      ->MinTime(1)
      ->Repetitions(5)
      ->ComputeStatistics("best", best)
      ->ReportAggregatesOnly();
}

BENCHMARK(BM_StreamFile)->ArgName("ring_kb")->Arg(64)->Arg(256)->Arg(1024)->Apply(best_of_five);

void BM_Cat(benchmark::State& state) {
  const std::string path = stream_file();
  const std::string command = "cat '" + path + "' > /dev/null";
  const auto children_cpu = [] {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
  };
  const double before = children_cpu();
  for (auto _ : state)
    if (std::system(command.c_str()) != 0) state.SkipWithError("cat failed");
  // cat's own CPU time (the process time above is only the shell's wait).
  state.counters["cat_cpu_ms"] = (children_cpu() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Cat)->Apply(best_of_five);

// ---- Tick intervals ----

std::vector<int64_t>* stamps;
std::atomic<bool> recording{false};

void stamp() {
  if (!recording) return;
  stamps->push_back(std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

int ticks(int seconds, bool busy) {
  std::vector<int64_t> v;
  v.reserve(static_cast<size_t>(seconds) * 100 + 100);
  stamps = &v;
  std::atomic<bool> spin{busy};
  std::vector<std::thread> spinners;
  if (busy)
    for (int i = 0; i < 2; ++i)
      spinners.emplace_back([&] {
        volatile uint64_t x = 0;
        while (spin) x = x + 1;
      });
  if (!TIMER_init(100) || !TIMER_addhandler(stamp)) return 1;
  recording = true;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  recording = false;
  TIMER_stop();
  spin = false;
  for (auto& t : spinners) t.join();
  std::vector<double> intervals;
  for (size_t i = 1; i < v.size(); ++i) intervals.push_back(static_cast<double>(v[i] - v[i - 1]) / 1000.0);
  if (intervals.empty()) return 1;
  std::sort(intervals.begin(), intervals.end());
  const auto at = [&](double q) {
    return intervals[static_cast<size_t>(q * static_cast<double>(intervals.size() - 1))];
  };
  std::printf(
      "%s: %zu intervals over %d s: median %.3f ms, p1 %.3f ms, p99 %.3f ms, largest %.3f ms, skips %u\n",
      busy ? "two spinning threads" : "no added load", intervals.size(), seconds, at(0.5), at(0.01), at(0.99),
      intervals.back(), TIMER_skips());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--ticks") == 0)
    return ticks(std::atoi(argv[2]), argc >= 4 && std::strcmp(argv[3], "busy") == 0);
  // The stream's and cat's repetitions alternate, so that both meet the same load.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
