// Speed of the MPEG Layer 2 encoder on the standard 180 s stereo song at 192 kbit/s, beside
// ffmpeg's mp2 encoder run on the same file in the same process run.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/benchsong.h"
#include "quillon/codecs/mpegenc.h"

namespace {

double children_cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs a shell command as one benchmark iteration; wall time is the iteration time and the CPU
// time of the child processes is summed, since the machine may be shared.
bool run_timed(benchmark::State& state, const std::string& cmd, double* cpu_total) {
  const double cpu0 = children_cpu_seconds();
  const auto t0 = std::chrono::steady_clock::now();
  if (std::system(cmd.c_str()) != 0) return false;
  state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  *cpu_total += children_cpu_seconds() - cpu0;
  return true;
}

void BM_MpegencLayer2Song192k(benchmark::State& state) {
  const Song& s = song();
  if (s.ch[0].empty()) {
    state.SkipWithError("song.wav missing: run ../shared/bench/make-inputs.sh");
    return;
  }
  const int16_t* ch[2] = {s.ch[0].data(), s.ch[1].data()};
  std::vector<uint8_t> out;
  out.reserve(8u << 20);
  for (auto _ : state) {
    out.clear();
    const mpegenc_sink sink{mpegenc_vectorwrite, &out};
    const char* message = nullptr;
    if (!mpegenc_encode(2, s.rate, 192000, 2, ch, static_cast<int32_t>(s.ch[0].size()), &sink, nullptr,
                        &message)) {
      state.SkipWithError(message);
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["audio_s"] = static_cast<double>(s.ch[0].size()) / s.rate;
  state.counters["out_bytes"] = static_cast<double>(out.size());
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(s.ch[0].size()));
}
BENCHMARK(BM_MpegencLayer2Song192k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The peer: the whole ffmpeg process, reading the WAV file and writing the stream to /dev/null.
void BM_FfmpegMp2Song192k(benchmark::State& state) {
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
    state.SkipWithError("ffmpeg is not installed");
    return;
  }
  const std::string cmd =
      std::string("ffmpeg -nostdin -v error -y -i '") + song_path() + "' -c:a mp2 -b:a 192k -f mp2 /dev/null";
  double cpu = 0.0;
  for (auto _ : state) {
    if (!run_timed(state, cmd, &cpu)) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
  }
  state.counters["child_cpu_ms"] = cpu * 1000.0 / static_cast<double>(state.iterations());
  if (!song().ch[0].empty())
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(song().ch[0].size()));
}
BENCHMARK(BM_FfmpegMp2Song192k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

// ffmpeg's own overhead on the same file (start-up, reading and converting the WAV) without
// encoding, to set the figure above against ours, which starts from samples in memory.
void BM_FfmpegWavReadOnly(benchmark::State& state) {
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
    state.SkipWithError("ffmpeg is not installed");
    return;
  }
  const std::string cmd =
      std::string("ffmpeg -nostdin -v error -y -i '") + song_path() + "' -f null /dev/null";
  double cpu = 0.0;
  for (auto _ : state) {
    if (!run_timed(state, cmd, &cpu)) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
  }
  state.counters["child_cpu_ms"] = cpu * 1000.0 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FfmpegWavReadOnly)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
