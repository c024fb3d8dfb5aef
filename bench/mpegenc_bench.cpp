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

#include "quillon/codecs/mpegenc.h"

namespace {

const char* song_path() {
  const char* dir = std::getenv("PERF_DIR");
  static const std::string path = std::string(dir ? dir : "/tmp/perf") + "/in/song.wav";
  return path.c_str();
}

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

uint32_t le32(const std::vector<uint8_t>& b, size_t p) {
  return b[p] | (b[p + 1] << 8) | (b[p + 2] << 16) | (uint32_t{b[p + 3]} << 24);
}

// The song as two channels of 16-bit samples; empty when the file is missing or not 16-bit
// stereo PCM.
struct Song {
  std::vector<int16_t> left, right;
  int rate = 0;
};

const Song& song() {
  static const Song s = [] {
    Song out;
    std::ifstream in(song_path(), std::ios::binary);
    const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() < 12 || b[0] != 'R' || b[8] != 'W') return out;
    size_t p = 12;
    int channels = 0, bits = 0;
    while (p + 8 <= b.size()) {
      const uint32_t size = le32(b, p + 4);
      const size_t body = p + 8;
      if (size > b.size() - body) break;
      if (b[p] == 'f' && b[p + 1] == 'm' && size >= 16) {
        channels = b[body + 2] | (b[body + 3] << 8);
        out.rate = static_cast<int>(le32(b, body + 4));
        bits = b[body + 14] | (b[body + 15] << 8);
      } else if (b[p] == 'd' && b[p + 1] == 'a' && channels == 2 && bits == 16) {
        const size_t frames = size / 4;
        out.left.resize(frames);
        out.right.resize(frames);
        for (size_t i = 0; i < frames; ++i) {
          out.left[i] = static_cast<int16_t>(b[body + 4 * i] | (b[body + 4 * i + 1] << 8));
          out.right[i] = static_cast<int16_t>(b[body + 4 * i + 2] | (b[body + 4 * i + 3] << 8));
        }
        break;
      }
      p = body + size + (size & 1);
    }
    return out;
  }();
  return s;
}

void BM_MpegencLayer2Song192k(benchmark::State& state) {
  const Song& s = song();
  if (s.left.empty()) {
    state.SkipWithError("song.wav missing: run ../shared/bench/make-inputs.sh");
    return;
  }
  const int16_t* ch[2] = {s.left.data(), s.right.data()};
  std::vector<uint8_t> out;
  out.reserve(8u << 20);
  for (auto _ : state) {
    out.clear();
    const mpegenc_sink sink{mpegenc_vectorwrite, &out};
    const char* message = nullptr;
    if (!mpegenc_encode(2, s.rate, 192000, 2, ch, static_cast<int32_t>(s.left.size()), &sink, nullptr,
                        &message)) {
      state.SkipWithError(message);
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["audio_s"] = static_cast<double>(s.left.size()) / s.rate;
  state.counters["out_bytes"] = static_cast<double>(out.size());
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(s.left.size()));
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
  if (!song().left.empty())
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(song().left.size()));
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
