// Speed of the audio engine's mixer, rendered offline (no device) for 60 s of 22050 Hz stereo
// output: the preview's load (one stereo voice from a 44.1 kHz song, shipped reverb), and 24
// mono voices with a low-pass through the linear and the cubic resampler. The counter
// x_realtime is seconds of output per second of processor time.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "quillon/engine/engine_internal.h"

namespace {

constexpr int kRate = 22050;
constexpr int kSeconds = 60;
constexpr int kPass = 448;  // frames per call, about what one output pass writes

// A source that plays a long tone-and-noise signal, as a decoder would hand it over.
struct Signal {
  std::vector<int16_t> pcm;
  int channels;
  size_t pos[4] = {};
};

std::vector<int16_t> make_signal(size_t frames, int channels) {
  std::vector<int16_t> s(frames * channels);
  uint32_t noise = 12345;
  for (size_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c) {
      noise = noise * 1664525 + 1013904223;
      s[i * channels + c] =
          static_cast<int16_t>(12000 * std::sin(i * (0.01 + 0.003 * c)) + (noise >> 20) - 2048);
    }
  return s;
}

int pull(void* context, int channel, float* out, int frames) {
  auto* s = static_cast<Signal*>(context);
  const size_t total = s->pcm.size() / s->channels;
  size_t& p = s->pos[channel];
  for (int i = 0; i < frames; ++i, p = p + 1 == total ? 0 : p + 1) out[i] = s->pcm[p * s->channels + channel];
  return frames;
}

// Variant -1 is the one the engine picks for this processor.
void render(benchmark::State& state, int quality, const std::vector<int>& rates, int channels, bool reverb,
            int lowpass, int variant = -1) {
  if (variant >= eng::mix_variants()) {
    state.SkipWithError("this processor lacks the variant");
    return;
  }
  std::vector<uint8_t> arena(204800);
  std::vector<Signal> signals(rates.size());
  for (size_t v = 0; v < rates.size(); ++v)
    signals[v] = Signal{make_signal(rates[v] * 4, channels), channels};
  AUDIOCONFIG c;
  AUDIO_getconfig(&c);
  c.rate = kRate;
  c.quality = static_cast<uint8_t>(quality);
  AUDIO_setconfig(&c);
  std::vector<int16_t> out(2 * kPass);
  for (auto _ : state) {
    if (eng::engine_init(arena.data(), static_cast<int32_t>(arena.size()), false) != 0) {
      state.SkipWithError("engine start failed");
      return;
    }
    if (variant >= 0) eng::g.routines = eng::mix_variant(variant);
    if (reverb) AUDIO_setfx(0x20, 100, 1, AUDIO_reverbfile, sizeof AUDIO_reverbfile);
    for (size_t v = 0; v < rates.size(); ++v) {
      const int h = AUDIO_voicealloc(channels, rates[v], 50);
      const AUDIOSOURCE src{pull, &signals[v]};
      AUDIO_voicesource(h, &src);
      AUDIO_voiceset(h, AUDIO_PAN, static_cast<int>(v * 127 / rates.size()));
      if (lowpass) AUDIO_voiceset(h, AUDIO_LOWPASS, lowpass);
      if (reverb) {
        AUDIO_voiceset(h, AUDIO_SEND, 127);
        AUDIO_voiceset(h, AUDIO_REVERBAMOUNT, 64);
      }
      AUDIO_voiceplay(h);
    }
    AUDIO_lock();
    for (int left = kRate * kSeconds; left > 0; left -= kPass)
      eng::mix_render(out.data(), std::min(left, kPass));
    AUDIO_unlock();
    benchmark::DoNotOptimize(out.data());
    AUDIO_setfx(0x20, 0, 0, nullptr, 0);
    AUDIO_shutdown();
  }
  state.counters["x_realtime"] = benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
  state.SetLabel(eng::g.routines ? eng::g.routines->name : "");
}

void BM_EnginePreviewLoad(benchmark::State& state) {
  render(state, 0, {44100}, 2, true, 0);
}

std::vector<int> mono_rates() {
  std::vector<int> r;
  for (int v = 0; v < 24; ++v) r.push_back(11025 + 1400 * v);  // every voice resampled
  return r;
}

void BM_Engine24MonoLinearLowpass(benchmark::State& state) {
  render(state, 0, mono_rates(), 1, false, 4000);
}
void BM_Engine24MonoCubicLowpass(benchmark::State& state) {
  render(state, 50, mono_rates(), 1, false, 4000);
}

// The same with each variant of the mix-add and conversion routines (0 plain, 1 SSE2).
void BM_Engine24MonoLinearVariant(benchmark::State& state) {
  render(state, 0, mono_rates(), 1, false, 4000, static_cast<int>(state.range(0)));
  eng::g.routines = nullptr;
}

BENCHMARK(BM_EnginePreviewLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine24MonoLinearLowpass)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine24MonoCubicLowpass)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine24MonoLinearVariant)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
