// Speed of the console codecs and of the bank writer: VAG and CD-XA encoding of the standard
// 22050 Hz mono song, and a bank of 512 one-second sounds (half of them duplicates) written and
// read back.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quillon/codecs/cdxa.h"
#include "quillon/codecs/vag.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"

namespace {

// song_22k_mono.wav from ../shared/bench/make-inputs.sh, read through the WAV module.
const std::vector<int16_t>& monosong() {
  static const std::vector<int16_t> samples = [] {
    const char* dir = std::getenv("PERF_DIR");
    const std::string path = std::string(dir ? dir : "/tmp/perf") + "/in/song_22k_mono.wav";
    std::vector<int16_t> out;
    gfile* f = gopen(path.c_str());
    if (!f) return out;
    SINSTANCE* inst = nullptr;
    SINFO* info = nullptr;
    if (AUREX_open(f, &inst, AUREX_identify(f)) > 0 && AUREX_info(inst, &info, 0) &&
        AUREX_read(inst, info, 0)) {
      const STIMBRE& t = info->timbres[0];
      out.assign(t.samples[0], t.samples[0] + t.numsamples);
    }
    if (info) AUREX_freesinfo(info);
    if (inst) AUREX_close(inst);
    gclose(f);
    return out;
  }();
  return samples;
}

constexpr double kSongRate = 22050.0;

void realtime(benchmark::State& state, size_t samples) {
  state.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(samples) / kSongRate * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

void BM_VagEncodeSong(benchmark::State& state) {
  const std::vector<int16_t>& s = monosong();
  if (s.empty()) return state.SkipWithError("song_22k_mono.wav missing: run ../shared/bench/make-inputs.sh");
  const auto n = static_cast<int32_t>(s.size());
  const VAG_FORM form{false, -1, -1};
  std::vector<uint8_t> out(static_cast<size_t>(vag_encodedbytes(n, form)));
  for (auto _ : state) {
    XA_ENCSTATE st{};
    benchmark::DoNotOptimize(vag_encode(s.data(), n, form, &st, out.data()));
  }
  realtime(state, s.size());
}
BENCHMARK(BM_VagEncodeSong)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CdxaEncodeSong(benchmark::State& state) {
  const std::vector<int16_t>& s = monosong();
  if (s.empty()) return state.SkipWithError("song_22k_mono.wav missing: run ../shared/bench/make-inputs.sh");
  const auto n = static_cast<int32_t>(s.size());
  std::vector<uint8_t> sector(CDXA_SECTORBYTES);
  for (auto _ : state) {
    XA_ENCSTATE l{}, r{};
    for (int32_t at = 0; at < n; at += CDXA_SECTORSAMPLES) {
      cdxa_encodesector(s.data() + at, nullptr, n - at, cdxa_codingbyte(false, false), &l, &r, sector.data());
      benchmark::DoNotOptimize(sector.data());
    }
  }
  realtime(state, s.size());
}
BENCHMARK(BM_CdxaEncodeSong)->Unit(benchmark::kMillisecond)->UseRealTime();

int formatnamed(const char* name) {
  for (int i = 0; i < AUREX_NUMFORMATS; ++i)
    if (std::strcmp(AUREX_formats[i].shortname, name) == 0) return i;
  return -1;
}

std::string benchpath() {
  return "/tmp/console_bench_" + std::to_string(getpid()) + ".bnk";
}

constexpr int kElements = 512;

// 256 distinct one-second pieces of the song, each written twice.
std::vector<SINFO*> banksounds(int rep) {
  const std::vector<int16_t>& s = monosong();
  std::vector<SINFO*> sounds;
  const size_t second = static_cast<size_t>(kSongRate);
  for (int e = 0; e < kElements; ++e) {
    SINFO* info = AUREX_newsinfo();
    STIMBRE& t = info->timbres[0];
    t.numchannels = 1;
    t.samplerate = static_cast<int32_t>(kSongRate);
    t.numsamples = static_cast<int32_t>(second);
    t.samplerep = static_cast<int8_t>(rep);
    AUREX_allocsamples(&t);
    const size_t at = (static_cast<size_t>(e / 2) * second) % (s.size() - second);
    std::memcpy(t.samples[0], s.data() + at, second * 2);
    sounds.push_back(info);
  }
  return sounds;
}

bool writebank(int format, const std::vector<SINFO*>& sounds, const std::string& path) {
  gfile* f = gwopen(path.c_str());
  SINSTANCE* inst = nullptr;
  bool ok = f && AUREX_create(f, &inst, format) > 0;
  for (int e = 0; ok && e < kElements; ++e) ok = AUREX_write(inst, sounds[static_cast<size_t>(e)], e);
  if (inst) ok = AUREX_wclose(inst) && ok;
  if (f) gclose(f);
  return ok;
}

// Arguments: the bank format's platform (0 pcbank with s16l_blk, 1 psxbank with vag_blk).
void BM_BankWrite512(benchmark::State& state) {
  if (monosong().empty()) return state.SkipWithError("song_22k_mono.wav missing");
  const bool psx = state.range(0) == 1;
  const int format = formatnamed(psx ? "psxbank" : "pcbank");
  const std::vector<SINFO*> sounds = banksounds(psx ? SREP_VAG_BLK : SREP_S16L_BLK);
  const std::string path = benchpath();
  for (auto _ : state)
    if (!writebank(format, sounds, path)) state.SkipWithError(AUREX_lasterror());
  gfile* f = gopen(path.c_str());
  state.counters["MiB"] = f ? gsize(f) / 1048576.0 : 0;
  if (f) gclose(f);
  std::remove(path.c_str());
  for (SINFO* s : sounds) AUREX_freesinfo(s);
}
BENCHMARK(BM_BankWrite512)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BankRead512(benchmark::State& state) {
  if (monosong().empty()) return state.SkipWithError("song_22k_mono.wav missing");
  const bool psx = state.range(0) == 1;
  const int format = formatnamed(psx ? "psxbank" : "pcbank");
  const std::vector<SINFO*> sounds = banksounds(psx ? SREP_VAG_BLK : SREP_S16L_BLK);
  const std::string path = benchpath();
  if (!writebank(format, sounds, path)) return state.SkipWithError(AUREX_lasterror());
  for (SINFO* s : sounds) AUREX_freesinfo(s);
  for (auto _ : state) {
    gfile* f = gopen(path.c_str());
    SINSTANCE* inst = nullptr;
    const int n = AUREX_open(f, &inst, format);
    for (int e = 0; e < n; ++e) {
      SINFO* info = nullptr;
      if (!AUREX_info(inst, &info, e) || !AUREX_read(inst, info, e)) state.SkipWithError(AUREX_lasterror());
      if (info) AUREX_freesinfo(info);
    }
    AUREX_close(inst);
    gclose(f);
  }
  std::remove(path.c_str());
}
BENCHMARK(BM_BankRead512)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
