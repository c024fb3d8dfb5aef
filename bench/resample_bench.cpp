// Benchmark of the sample-rate converter: the standard input song (180 s, 44.1 kHz stereo 16-bit
// WAV, made by the shared make-inputs.sh) converted to 22050 Hz in memory, through the converter
// alone and through the resample filter on a SINFO. With "--convert IN.wav OUT.wav [RATE]" it
// instead converts one file end to end, so bench/resample_compare.sh can time it beside sox.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/filters.h"
#include "quillon/soundcore/resample.h"
#include "quillon/soundcore/sinfo.h"

namespace {

struct Pcm {
  int32_t rate = 0;
  int channels = 0;
  std::vector<std::vector<int16_t>> data;  // one vector per channel
};

uint32_t le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}
uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// 16-bit PCM WAV, 1..4 channels; false for anything else or a file cut short.
bool readwav(const std::string& path, Pcm& pcm) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) return false;
  std::vector<uint8_t> b(static_cast<size_t>(f.tellg()));
  f.seekg(0);
  if (!f.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()))) return false;
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0)
    return false;
  size_t pos = 12;
  bool fmt = false;
  while (pos + 8 <= b.size()) {
    const uint32_t size = le32(b.data() + pos + 4);
    const uint8_t* body = b.data() + pos + 8;
    if (size > b.size() - pos - 8) return false;
    if (std::memcmp(b.data() + pos, "fmt ", 4) == 0 && size >= 16) {
      if (le16(body) != 1 || le16(body + 14) != 16) return false;
      pcm.channels = le16(body + 2);
      pcm.rate = static_cast<int32_t>(le32(body + 4));
      fmt = pcm.channels >= 1 && pcm.channels <= 4 && pcm.rate > 0;
    } else if (std::memcmp(b.data() + pos, "data", 4) == 0 && fmt) {
      const size_t frames = size / (2u * pcm.channels);
      pcm.data.assign(pcm.channels, std::vector<int16_t>(frames));
      for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < pcm.channels; ++c)
          pcm.data[c][i] = static_cast<int16_t>(le16(body + (i * pcm.channels + c) * 2));
      return true;
    }
    pos += 8 + size + (size & 1);
  }
  return false;
}

// Writes beside the target and renames into place, so a failed run leaves no partial file.
bool writewav(const std::string& path, const SINFO& info) {
  const STIMBRE& t = info.timbres[0];
  const uint32_t bytes = static_cast<uint32_t>(t.numsamples) * t.numchannels * 2;
  std::vector<uint8_t> b(44 + static_cast<size_t>(bytes));
  auto put32 = [&b](size_t at, uint32_t v) { gputle(b.data() + at, v, 4); };
  auto put16 = [&b](size_t at, uint32_t v) { gputle(b.data() + at, v, 2); };
  std::memcpy(b.data(), "RIFF", 4);
  put32(4, 36 + bytes);
  std::memcpy(b.data() + 8, "WAVEfmt ", 8);
  put32(16, 16);
  put16(20, 1);
  put16(22, static_cast<uint32_t>(t.numchannels));
  put32(24, static_cast<uint32_t>(t.samplerate));
  put32(28, static_cast<uint32_t>(t.samplerate) * t.numchannels * 2);
  put16(32, static_cast<uint32_t>(t.numchannels) * 2);
  put16(34, 16);
  std::memcpy(b.data() + 36, "data", 4);
  put32(40, bytes);
  for (int32_t i = 0; i < t.numsamples; ++i)
    for (int c = 0; c < t.numchannels; ++c)
      put16(44 + (static_cast<size_t>(i) * t.numchannels + c) * 2, static_cast<uint16_t>(t.samples[c][i]));
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!f) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

SINFO* tosinfo(const Pcm& pcm) {
  SINFO* info = AUREX_newsinfo();
  if (!info) return nullptr;
  STIMBRE& t = info->timbres[0];
  t.numchannels = static_cast<int8_t>(pcm.channels);
  t.samplerate = pcm.rate;
  t.numsamples = static_cast<int32_t>(pcm.data[0].size());
  if (AUREX_allocsamples(&t) != 0) {
    AUREX_freesinfo(info);
    return nullptr;
  }
  for (int c = 0; c < pcm.channels; ++c)
    std::memcpy(t.samples[c], pcm.data[c].data(), pcm.data[c].size() * sizeof(int16_t));
  return info;
}

std::string songpath() {
  const char* dir = std::getenv("PERF_DIR");
  return std::string(dir && *dir ? dir : "/tmp/perf") + "/in/song.wav";
}

const Pcm* song() {
  static const Pcm* pcm = [] {
    auto* p = new Pcm;
    if (!readwav(songpath(), *p)) {
      delete p;
      return static_cast<Pcm*>(nullptr);
    }
    return p;
  }();
  return pcm;
}

// The converter alone, every channel, output buffers made once outside the timed loop.
void BM_ResampleSong(benchmark::State& state) {
  const Pcm* pcm = song();
  if (!pcm) {
    state.SkipWithError(("cannot read " + songpath()).c_str());
    return;
  }
  const double f = static_cast<double>(state.range(0)) / pcm->rate;
  const int interpolate = static_cast<int>(state.range(1));
  const auto frames = static_cast<int32_t>(pcm->data[0].size());
  const auto n = static_cast<int32_t>(f * frames);
  std::vector<std::vector<int16_t>> out(pcm->channels, std::vector<int16_t>(n));
  for (auto _ : state) {
    for (int c = 0; c < pcm->channels; ++c) {
      const int32_t made = AUREX_resample(f, pcm->data[c].data(), frames, out[c].data(), n, interpolate);
      if (made != n) state.SkipWithError("short conversion");
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t{frames} * pcm->channels);
  state.counters["audio_s_per_s"] =
      benchmark::Counter(static_cast<double>(frames) / pcm->rate * static_cast<double>(state.iterations()),
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
  const Pcm* pcm = song();
  if (!pcm) {
    state.SkipWithError(("cannot read " + songpath()).c_str());
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    SINFO* info = tosinfo(*pcm);
    state.ResumeTiming();
    if (!info || !AUREX_filterresamplesinfo(info, 22050)) state.SkipWithError(AUREX_lasterror());
    state.PauseTiming();
    AUREX_freesinfo(info);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FilterResampleSinfo)->Unit(benchmark::kMillisecond)->UseRealTime();

int convertfile(const char* in, const char* out, int32_t rate) {
  Pcm pcm;
  if (!readwav(in, pcm)) {
    std::fprintf(stderr, "cannot read %s as 16-bit PCM WAV\n", in);
    return 1;
  }
  SINFO* info = tosinfo(pcm);
  pcm = Pcm{};
  if (!info || !AUREX_filterresamplesinfo(info, rate) || !writewav(out, *info)) {
    std::fprintf(stderr, "conversion failed: %s\n", AUREX_lasterror());
    AUREX_freesinfo(info);
    return 1;
  }
  AUREX_freesinfo(info);
  return 0;
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
