// Parlet on espeak-ng speech at 22050 Hz: encoder and decoder speed on one core as multiples of
// real time, with the quality (SNR, segmental SNR over 20 ms) and the bytes per second of what
// was timed.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "quillon/codecs/parlet.h"
#include "quillon/codecs/parlet_test_util.h"

namespace {

constexpr double kRate = 22050.0;

const std::vector<int16_t>& sentences() {
  static const std::vector<int16_t> pcm = parlet_test::speech(
      "The quick brown fox jumps over the lazy dog. Hockey night in the arena: the home team scores in the "
      "final minute, and the crowd is on its feet. Please keep your stick on the ice. The referee raises "
      "his arm for a delayed penalty, and the goalie skates to the bench for an extra attacker.");
  return pcm;
}

void BM_ParletEncode(benchmark::State& state) {
  const std::vector<int16_t>& in = sentences();
  if (in.empty()) {
    state.SkipWithError("espeak-ng is not installed");
    return;
  }
  const size_t frames = (in.size() + PARLET_FRAME - 1) / PARLET_FRAME;
  std::vector<int16_t> padded(in);
  padded.resize(frames * PARLET_FRAME, 0);
  std::vector<uint8_t> out(static_cast<size_t>(parlet_maxbytes(static_cast<int64_t>(padded.size()))));
  static PARLET_ENCODER enc;
  size_t bytes = 0;
  for (auto _ : state) {
    PARLET_BITWRITER w{out.data(), out.size(), 0, 0, 0, false};
    parlet_encode_start(&enc, &w);
    for (size_t f = 0; f < frames; ++f) parlet_encode_frame(&enc, padded.data() + f * PARLET_FRAME, &w);
    parlet_flush(&w);
    bytes = w.size;
    benchmark::DoNotOptimize(out.data());
  }
  const double seconds = static_cast<double>(in.size()) / kRate;
  state.counters["x_realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
  std::vector<uint8_t> stream;
  const std::vector<int16_t> back = parlet_test::roundtrip(in, &stream);
  state.counters["snr_db"] = parlet_test::snr(in, back);
  state.counters["segsnr_db"] = parlet_test::segsnr(in, back);
  state.counters["bytes_per_s"] = static_cast<double>(bytes) / seconds;
  state.counters["bytes_per_sample"] = static_cast<double>(bytes) / static_cast<double>(in.size());
  state.counters["audio_s"] = seconds;
}
BENCHMARK(BM_ParletEncode)->Unit(benchmark::kMillisecond);

void BM_ParletDecode(benchmark::State& state) {
  const std::vector<int16_t>& in = sentences();
  if (in.empty()) {
    state.SkipWithError("espeak-ng is not installed");
    return;
  }
  std::vector<uint8_t> stream;
  parlet_test::roundtrip(in, &stream);
  const size_t frames = (in.size() + PARLET_FRAME - 1) / PARLET_FRAME;
  std::vector<int16_t> out(frames * PARLET_FRAME);
  static PARLET_SYNTH s;
  float frame[PARLET_FRAME];
  for (auto _ : state) {
    PARLET_BITREADER r;
    parlet_bits_start(&r, stream.data(), stream.size());
    parlet_reset(&s, parlet_read_header(&r));
    for (size_t f = 0; f < frames; ++f) {
      parlet_decode_frame(&s, &r, frame);
      for (int i = 0; i < PARLET_FRAME; ++i) out[f * PARLET_FRAME + i] = parlet_to16(frame[i]);
    }
    benchmark::DoNotOptimize(out.data());
  }
  const double seconds = static_cast<double>(in.size()) / kRate;
  state.counters["x_realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ParletDecode)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
