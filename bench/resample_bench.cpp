// Benchmark of the sample-rate converter: the standard input song (180 s, 44.1 kHz stereo 16-bit
// WAV, made by the shared make-inputs.sh) converted to 22050 Hz in memory, through the converter
// alone and through the resample filter on a SINFO. With "--convert IN OUT.wav [RATE]" it instead
// converts one file end to end through the format modules, so bench/resample_compare.sh can time
// it beside sox.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/benchsong.h"
#include "quillon/app/cliutil.h"
#include "quillon/soundcore/aurex.h"
#include "quillon/soundcore/filters.h"
#include "quillon/soundcore/resample.h"
#include "quillon/soundcore/sinfo.h"

namespace {

// The song as a SINFO of its own buffers, as the read step would leave it.
SINFO* tosinfo(const Song& song) {
  SINFO* info = AUREX_newsinfo();
  if (!info) return nullptr;
  STIMBRE& t = info->timbres[0];
  t.numchannels = 2;
  t.samplerate = song.rate;
  t.numsamples = static_cast<int32_t>(song.ch[0].size());
  if (AUREX_allocsamples(&t) != 0) {
    AUREX_freesinfo(info);
    return nullptr;
  }
  for (int c = 0; c < 2; ++c)
    std::memcpy(t.samples[c], song.ch[c].data(), song.ch[c].size() * sizeof(int16_t));
  return info;
}

// The converter alone, every channel, output buffers made once outside the timed loop.
void BM_ResampleSong(benchmark::State& state) {
  const Song& pcm = song();
  if (pcm.ch[0].empty()) {
    state.SkipWithError("song.wav missing: run ../shared/bench/make-inputs.sh");
    return;
  }
  const double f = static_cast<double>(state.range(0)) / pcm.rate;
  const int interpolate = static_cast<int>(state.range(1));
  const auto frames = static_cast<int32_t>(pcm.ch[0].size());
  const auto n = static_cast<int32_t>(f * frames);
  std::vector<int16_t> out[2] = {std::vector<int16_t>(n), std::vector<int16_t>(n)};
  for (auto _ : state) {
    for (int c = 0; c < 2; ++c) {
      const int32_t made = AUREX_resample(f, pcm.ch[c].data(), frames, out[c].data(), n, interpolate);
      if (made != n) state.SkipWithError("short conversion");
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t{frames} * 2);
  state.counters["audio_s_per_s"] =
      benchmark::Counter(static_cast<double>(frames) / pcm.rate * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
// 22050 Hz is a ratio of small integers (the taps of its one phase are laid out once); 32000 Hz
// takes the direct path, which steps through the filter table for every tap.
BENCHMARK(BM_ResampleSong)
    ->ArgNames({"rate", "interpolate"})
    ->Args({22050, 0})
    ->Args({22050, 1})
    ->Args({32000, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The resample filter on a SINFO, as an exporter would run it (new buffers, old ones released).
void BM_FilterResampleSinfo(benchmark::State& state) {
  const Song& pcm = song();
  if (pcm.ch[0].empty()) {
    state.SkipWithError("song.wav missing: run ../shared/bench/make-inputs.sh");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    SINFO* info = tosinfo(pcm);
    state.ResumeTiming();
    if (!info || !AUREX_filterresamplesinfo(info, 22050)) state.SkipWithError(AUREX_lasterror());
    state.PauseTiming();
    AUREX_freesinfo(info);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FilterResampleSinfo)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole job as the program runs it: the WAV module reads the file, the resample filter
// converts, the WAV module writes under a temporary name that then replaces the target.
int convertfile(const char* in, const char* out, int32_t rate) {
  int format = -1;
  std::string error;
  SINFO* info = cli_load(in, &format, &error);
  if (!info) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  AtomicOutput file(out);
  SINSTANCE* inst = nullptr;
  bool ok = AUREX_filterresamplesinfo(info, rate) && file.file() &&
            AUREX_create(file.file(), &inst, cli_formatbyname("wave")) >= 1 && AUREX_write(inst, info, 0);
  if (inst) ok = AUREX_wclose(inst) && ok;
  ok = ok && file.commit();
  if (!ok) std::fprintf(stderr, "conversion failed: %s\n", AUREX_lasterror());
  AUREX_freesinfo(info);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--convert") == 0)
    return convertfile(argv[2], argv[3], argc >= 5 ? std::atoi(argv[4]) : 22050);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
