// Benchmark of the MPEG audio decoder: the standard input song (180 s, 44.1 kHz stereo) in its four
// MPEG encodings (192 kbit/s MP3 and MP2 from the shared make-inputs.sh, the lame -V2 VBR MP3 and the
// 22050 Hz MPEG-2 Layer 3 file from bench/mpegdec_inputs.sh) decoded to PCM in memory by one decoder
// on one thread, once per synthesis path. bench/mpegdec_compare.sh (INPROC=1) runs it after the
// whole-process comparison with mpg123 and ffmpeg.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quillon/codecs/mpegdec.h"

namespace {

constexpr const char* kInputs[] = {"song.mp3", "song.mp2", "song_vbr.mp3", "song_22k.mp3"};

std::string input_path(int input) {
  const char* dir = std::getenv("PERF_DIR");
  return std::string(dir && *dir ? dir : "/tmp/perf") + "/in/" + kInputs[input];
}

const std::vector<uint8_t>& song(int input) {
  static std::vector<uint8_t> data[std::size(kInputs)];
  if (data[input].empty()) {
    std::ifstream f(input_path(input), std::ios::binary);
    data[input].assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  return data[input];
}

// The format module would start at the first frame; skip an ID3v2 tag the same way.
size_t first_frame(const std::vector<uint8_t>& d) {
  if (d.size() < 10 || d[0] != 'I' || d[1] != 'D' || d[2] != '3') return 0;
  return 10 + ((size_t{d[6]} << 21) | (size_t{d[7]} << 14) | (size_t{d[8]} << 7) | d[9]);
}

void BM_DecodeSong(benchmark::State& state) {
  const auto path = static_cast<MpegSynthPath>(state.range(0));
  const int input = static_cast<int>(state.range(1));
  state.SetLabel(kInputs[input]);
  const std::vector<uint8_t>& data = song(input);
  if (data.empty()) {
    state.SkipWithError(("missing input " + input_path(input) + " (run bench/mpegdec_inputs.sh)").c_str());
    return;
  }
  if (!mpegdec_path_supported(path)) {
    state.SkipWithError("synthesis path not supported on this processor");
    return;
  }
  const size_t start = first_frame(data);
  // The format module takes 384 samples per channel at a time.
  std::vector<int16_t> pcm(384 * 2);
  size_t total = 0;
  for (auto _ : state) {
    MpegDecoder* dec = mpegdec_create();
    mpegdec_set_path(dec, path);
    if (mpegdec_open(dec, data.data() + start, data.size() - start) != 0) {
      state.SkipWithError("not an MPEG stream");
      mpegdec_destroy(dec);
      return;
    }
    size_t bytes = 0, got;
    while ((got = mpegdec_read(dec, pcm.data(), pcm.size() * 2)) > 0) {
      bytes += got;
      benchmark::DoNotOptimize(pcm.data());
      if (got < pcm.size() * 2) break;
    }
    total += bytes;
    mpegdec_close(dec);
    mpegdec_destroy(dec);
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
  const double rate = input == 3 ? 22050.0 : 44100.0;  // all four are stereo
  state.counters["audio_s_per_s"] =
      benchmark::Counter(static_cast<double>(total) / (rate * 4), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_DecodeSong)
    ->ArgNames({"path", "input"})
    ->ArgsProduct({{static_cast<int>(MpegSynthPath::kPlain), static_cast<int>(MpegSynthPath::kSse2),
                    static_cast<int>(MpegSynthPath::kAvx2)},
                   {0, 1, 2, 3}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
