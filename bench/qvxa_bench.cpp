// Speed of QV-XA encoding on the standard 180 s stereo song: the codec alone, and the whole SND
// PC stream writer (chunking, headers, file output), beside ffmpeg's IMA ADPCM encoder run on
// the same file in the same process run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/benchsong.h"
#include "quillon/codecs/qvxa.h"
#include "quillon/runtime/gfile.h"
#include "quillon/soundcore/aurex.h"

namespace {

void BM_QvxaEncodeSong(benchmark::State& state) {
  const Song& s = song();
  if (s.ch[0].empty()) {
    state.SkipWithError("song.wav missing: run ../shared/bench/make-inputs.sh");
    return;
  }
  const int32_t n = static_cast<int32_t>(s.ch[0].size());
  std::vector<uint8_t> out[2];
  for (auto& o : out) o.resize(static_cast<size_t>(qvxa_frames(n)) * QVXA_FRAMEBYTES);
  const bool lockstep = state.range(0) != 0;
  for (auto _ : state) {
    XA_ENCSTATE st[2] = {};
    int32_t done = 0;
    if (lockstep) {  // as the stream writer does: both channels' frames in one pass
      for (; done + XA_FRAMESAMPLES <= n; done += XA_FRAMESAMPLES) {
        const int16_t* in[2] = {s.ch[0].data() + done, s.ch[1].data() + done};
        uint8_t* o[2] = {out[0].data() + done / XA_FRAMESAMPLES * QVXA_FRAMEBYTES,
                         out[1].data() + done / XA_FRAMESAMPLES * QVXA_FRAMEBYTES};
        XA_ENCSTATE* sp[2] = {&st[0], &st[1]};
        xa_encode_frame_pair(in, o, sp, XA_VARIANT_QVXA, XA_FILTERS_QVXA);
      }
    }
    for (int c = 0; c < 2; ++c) {
      qvxa_encode(s.ch[c].data() + done, out[c].data() + done / XA_FRAMESAMPLES * QVXA_FRAMEBYTES, n - done,
                  &st[c]);
    }
    benchmark::DoNotOptimize(out[0].data());
    benchmark::DoNotOptimize(out[1].data());
  }
  // Quality of what was timed: signal-to-noise ratio of the decoded song.
  double sig = 0, err = 0;
  std::vector<int16_t> dec(static_cast<size_t>(qvxa_frames(n)) * 28);
  for (int c = 0; c < 2; ++c) {
    int16_t p1 = 0, p2 = 0;
    qvxa_decode_mono(n, &p1, &p2, out[c].data(), dec.data());
    for (int32_t i = 0; i < n; ++i) {
      const double x = s.ch[c][i], d = x - dec[i];
      sig += x * x;
      err += d * d;
    }
  }
  state.counters["snr_db"] = 10.0 * std::log10(sig / err);
  state.counters["audio_s"] = static_cast<double>(n) / s.rate;
  state.counters["out_bytes"] = static_cast<double>(out[0].size() + out[1].size());
  state.SetItemsProcessed(state.iterations() * int64_t{n});
}
BENCHMARK(BM_QvxaEncodeSong)
    ->ArgName("lockstep")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

// The whole .asf writer: header, count, data chunks with channel prefixes, end chunk, to a file.
void BM_PcstreamWriteSong(benchmark::State& state) {
  const Song& s = song();
  if (s.ch[0].empty()) {
    state.SkipWithError("song.wav missing: run ../shared/bench/make-inputs.sh");
    return;
  }
  SINFO* info = AUREX_newsinfo();
  STIMBRE& t = info->timbres[0];
  t.numchannels = 2;
  t.samplerate = s.rate;
  t.numsamples = static_cast<int32_t>(s.ch[0].size());
  t.samplerep = SREP_QVXA_BLK;
  // Borrowed buffers: the record is only written, then released without them.
  t.samples[0] = const_cast<int16_t*>(s.ch[0].data());
  t.samples[1] = const_cast<int16_t*>(s.ch[1].data());
  const std::string path = "/tmp/qvxa_bench_" + std::to_string(getpid()) + ".asf";
  int64_t bytes = 0;
  for (auto _ : state) {
    gfile* f = gwopen(path.c_str());
    SINSTANCE* inst = nullptr;
    if (!f || AUREX_create(f, &inst, AUREX_FORMAT_PCSTREAM) <= 0 || !AUREX_write(inst, info, 0)) {
      state.SkipWithError(AUREX_lasterror());
      break;
    }
    AUREX_wclose(inst);
    bytes = gtell(f);
    gclose(f);
  }
  t.samples[0] = t.samples[1] = nullptr;
  t.numchannels = 0;
  AUREX_freesinfo(info);
  std::remove(path.c_str());
  state.counters["out_bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations() * int64_t{static_cast<int64_t>(s.ch[0].size())});
}
BENCHMARK(BM_PcstreamWriteSong)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

double runFfmpeg(benchmark::State& state, const std::string& args) {
  const std::string cmd = std::string("ffmpeg -nostdin -v error -y -i '") + song_path() + "' " + args;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError("ffmpeg failed");
      return 0;
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return 0;
}

bool haveFfmpeg(benchmark::State& state) {
  if (std::system("command -v ffmpeg >/dev/null 2>&1") == 0) return true;
  state.SkipWithError("ffmpeg is not installed");
  return false;
}

// The peer: the whole ffmpeg process, reading the WAV file and writing IMA ADPCM to /dev/null.
void BM_FfmpegImaAdpcmSong(benchmark::State& state) {
  if (!haveFfmpeg(state)) return;
  runFfmpeg(state, "-c:a adpcm_ima_wav -f wav /dev/null");
  if (!song().ch[0].empty())
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(song().ch[0].size()));
}
BENCHMARK(BM_FfmpegImaAdpcmSong)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

// ffmpeg's start-up and WAV reading alone, to set the figure above against ours, which starts
// from samples in memory.
void BM_FfmpegWavReadOnly(benchmark::State& state) {
  if (!haveFfmpeg(state)) return;
  runFfmpeg(state, "-f null /dev/null");
}
BENCHMARK(BM_FfmpegWavReadOnly)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
