// The mixer: each software voice's chain of processing nodes (source, resampler, high-pass,
// low-pass), gains ramped over 32 frames, the effect hooks, and the conversion to 16-bit. Spans
// are cut at control ticks and mixed in blocks of at most 256 frames.
#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ENGINE_X86 1
#endif

#include "quillon/engine/engine_internal.h"

namespace eng {
namespace {

constexpr float kRound = 12582912.0f;  // 1.5 x 2^23: the sum's low mantissa bits hold the integer
constexpr int32_t kRoundBits = 0x4B400000;
constexpr int kInput = 4 + 1024 + 4;  // carried samples plus the most one block can need

inline int16_t to16(float x) {
  // Clamping first keeps the sum inside the exponent range where the trick holds.
  x = x > -32768.0f ? x : -32768.0f;
  x = x < 32767.0f ? x : 32767.0f;
  const float y = x + kRound;
  int32_t bits;
  std::memcpy(&bits, &y, sizeof bits);
  return static_cast<int16_t>(bits - kRoundBits);
}

void muladd_plain(float* dst, const float* src, float gain, int n) {
  for (int i = 0; i < n; ++i) dst[i] += src[i] * gain;
}

void convert_plain(int16_t* dst, float* const* ch, const int* order, int nch, int n) {
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < nch; ++j) dst[i * nch + j] = to16(ch[order[j]][i]);
}

#ifdef ENGINE_X86
__attribute__((target("sse2"))) void muladd_sse2(float* dst, const float* src, float gain, int n) {
  const __m128 gv = _mm_set1_ps(gain);
  int i = 0;
  for (; i + 4 <= n; i += 4)
    _mm_storeu_ps(dst + i, _mm_add_ps(_mm_loadu_ps(dst + i), _mm_mul_ps(_mm_loadu_ps(src + i), gv)));
  muladd_plain(dst + i, src + i, gain, n - i);
}

__attribute__((target("avx2"))) void muladd_avx2(float* dst, const float* src, float gain, int n) {
  const __m256 gv = _mm256_set1_ps(gain);
  int i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(dst + i,
                     _mm256_add_ps(_mm256_loadu_ps(dst + i), _mm256_mul_ps(_mm256_loadu_ps(src + i), gv)));
  muladd_plain(dst + i, src + i, gain, n - i);
}

__attribute__((target("sse2"))) inline __m128i to16x4(__m128 x) {
  x = _mm_min_ps(_mm_max_ps(x, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
  return _mm_sub_epi32(_mm_castps_si128(_mm_add_ps(x, _mm_set1_ps(kRound))), _mm_set1_epi32(kRoundBits));
}

__attribute__((target("sse2"))) void convert_sse2(int16_t* dst, float* const* ch, const int* order, int nch,
                                                  int n) {
  if (nch != 2) return convert_plain(dst, ch, order, nch, n);
  const float* a = ch[order[0]];
  const float* b = ch[order[1]];
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128i x = to16x4(_mm_loadu_ps(a + i)), y = to16x4(_mm_loadu_ps(b + i));
    const __m128i packed = _mm_packs_epi32(_mm_unpacklo_epi32(x, y), _mm_unpackhi_epi32(x, y));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), packed);
  }
  float* const rest[2] = {const_cast<float*>(a + i), const_cast<float*>(b + i)};
  static constexpr int identity[2] = {0, 1};
  convert_plain(dst + 2 * i, rest, identity, 2, n - i);
}
#endif

const MixRoutines variants[] = {
    {"plain", muladd_plain, convert_plain},
#ifdef ENGINE_X86
    {"sse2", muladd_sse2, convert_sse2},
    {"avx2", muladd_avx2, convert_sse2},
#endif
};

int supported() {
#ifdef ENGINE_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return 3;
  if (__builtin_cpu_supports("sse2")) return 2;
#endif
  return 1;
}

// Buffer order of the mixer's channels: with two, channel 0 is the right speaker and the left
// sample comes first.
constexpr int kOrder[kMaxOut][kMaxOut] = {{0}, {1, 0}, {2, 0, 1}, {3, 0, 2, 1}};

int clamp_count(int n, int frames) {
  return std::clamp(n, 0, frames);
}

int source_process(MixNode* self, float* out, int frames) {
  return clamp_count(voice_pull(self->owner->index, out, frames), frames);
}

int resample_process(MixNode* self, float* out, int frames) {
  MixVoice& v = *self->owner;
  const int64_t step = v.step;
  const int64_t last = v.rel + (frames - 1) * step;
  const int need = std::max<int>(0, static_cast<int>(last >> 16) + 3);
  float* w = g.inbuf;
  std::memcpy(w, v.carry, sizeof v.carry);
  const int got = clamp_count(self->next->process(self->next, w + 4, need), need);
  const int avail = 4 + got;
  const bool cubic = g.active.quality >= 50;
  int n = 0;
  for (; n < frames; ++n) {
    const int i = static_cast<int>(v.rel >> 16) + 4;
    if (i + 2 >= avail) break;  // only when the data ended short
    const float t = static_cast<float>(v.rel & 0xFFFF) * 0.000015258f;
    const float xm1 = w[i - 1], x0 = w[i], x1 = w[i + 1], x2 = w[i + 2];
    if (cubic)
      out[n] = x0 + t * (x1 - xm1) / 2 + t * t * (xm1 - 2.5f * x0 + 2 * x1 - 0.5f * x2) +
               t * t * t * (1.5f * (x0 - x1) + 0.5f * (x2 - xm1));
    else
      out[n] = x0 + (x1 - x0) * t;
    v.rel += step;
  }
  std::memcpy(v.carry, w + avail - 4, sizeof v.carry);
  v.rel -= int64_t{got} * 65536;
  return n;
}

void highpass_coefficients(MixVoice& v) {
  constexpr double kSqrt2 = 1.4142135623730950488;
  const double k = std::tan(3.14159265358979323846 * v.fn);
  const double f = 1.0 / (k * k + kSqrt2 * k + 1.0);
  v.a0 = static_cast<float>(f);
  v.a1 = static_cast<float>(-2.0 * f);
  v.a2 = static_cast<float>(f);
  v.b1 = static_cast<float>(2.0 * f * (k * k - 1.0));
  v.b2 = static_cast<float>(f * (k * k - kSqrt2 * k + 1.0));
}

int highpass_process(MixNode* self, float* out, int frames) {
  MixVoice& v = *self->owner;
  const int n = clamp_count(self->next->process(self->next, out, frames), frames);
  if (v.fn != v.fntarget) {
    v.fn += std::clamp(v.fntarget - v.fn, -0.1f, 0.1f);
    highpass_coefficients(v);
  }
  float x1 = v.x1, x2 = v.x2, y1 = v.y1, y2 = v.y2;
  for (int i = 0; i < n; ++i) {
    const float x = out[i];
    const float y = v.a0 * x + v.a1 * x1 + v.a2 * x2 - v.b1 * y1 - v.b2 * y2;
    x2 = x1, x1 = x, y2 = y1, y1 = y;
    out[i] = y;
  }
  v.x1 = x1, v.x2 = x2, v.y1 = y1, v.y2 = y2;
  return n;
}

int lowpass_process(MixNode* self, float* out, int frames) {
  MixVoice& v = *self->owner;
  const int n = clamp_count(self->next->process(self->next, out, frames), frames);
  const float k = v.k, rest = 1.0f - v.k;
  float y = v.ylp;
  for (int i = 0; i < n; ++i) out[i] = y = k * out[i] + rest * y;
  v.ylp = y;
  return n;
}

// Links the nodes a voice needs, lowest kind first, the source last.
void relink(MixVoice& v, bool res, bool hp, bool lp) {
  MixNode* chain = &v.src;
  v.src.next = nullptr;
  if (res) v.res.next = chain, chain = &v.res;
  if (hp) v.hp.next = chain, chain = &v.hp;
  if (lp) v.lp.next = chain, chain = &v.lp;
  v.head = chain;
}

bool linked(const MixVoice& v, const MixNode& n) {
  for (const MixNode* p = v.head; p; p = p->next)
    if (p == &n) return true;
  return false;
}

// Adds in x gain ramped from `from` to `to` over the first r frames.
void ramp_add(float* dst, const float* in, float from, float to, int r) {
  const float step = (to - from) / static_cast<float>(r);
  for (int i = 0; i < r; ++i) dst[i] += in[i] * (from + step * static_cast<float>(i + 1));
}

}  // namespace

int mix_variants() {
  return supported();
}
const MixRoutines* mix_variant(int i) {
  return &variants[std::clamp(i, 0, supported() - 1)];
}

int mix_setup(int rate, int channels) {
  g.rate = rate;
  g.channels = channels;
  g.frame = 0;
  g.tick = 0;
  if (!g.routines) g.routines = mix_variant(supported() - 1);
  for (int o = 0; o < channels; ++o)
    if (!(g.out[o] = static_cast<float*>(AUDIO_alloc(kBlock * sizeof(float))))) return AUDIO_ERR;
  g.vbuf = static_cast<float*>(AUDIO_alloc(kBlock * sizeof(float)));
  g.inbuf = static_cast<float*>(AUDIO_alloc(kInput * sizeof(float)));
  return g.vbuf && g.inbuf ? AUDIO_OK : AUDIO_ERR;
}

void mix_release() {
  for (auto*& p : g.out) AUDIO_free(p), p = nullptr;
  AUDIO_free(g.vbuf);
  AUDIO_free(g.inbuf);
  g.vbuf = g.inbuf = nullptr;
}

void mix_start(int index) {
  if (index >= g.nsw) return;
  MixVoice& v = g.mix[index];
  v = MixVoice{};
  v.index = index;
  v.state = 1;
  v.step = 0x10000;
  v.src = MixNode{nullptr, 5, &v, source_process};
  v.res = MixNode{nullptr, 3, &v, resample_process};
  v.hp = MixNode{nullptr, 1, &v, highpass_process};
  v.lp = MixNode{nullptr, 0, &v, lowpass_process};
  relink(v, false, false, false);
}

void mix_unlink(int index) {
  MixVoice& v = g.mix[index];
  v.state = 0;
  relink(v, false, false, false);
}

void mix_setgains(int index, const float* gains, float send) {
  MixVoice& v = g.mix[index];
  for (int o = 0; o < kMaxOut; ++o) v.changed |= v.tgt[o] != gains[o], v.tgt[o] = gains[o];
  v.changed |= v.sendtgt != send;
  v.sendtgt = send;
}

void mix_setstep(int index, int32_t step) {
  MixVoice& v = g.mix[index];
  const bool need = step != 0x10000;
  if (need && !linked(v, v.res)) v.rel = 0, std::fill(std::begin(v.carry), std::end(v.carry), 0.0f);
  v.step = step;
  relink(v, need, linked(v, v.hp), linked(v, v.lp));
}

void mix_setfilters(int index, int32_t lowpass, int32_t highpass) {
  MixVoice& v = g.mix[index];
  const float k = static_cast<float>(lowpass) / (static_cast<float>(g.rate) / 2);
  const bool lp = lowpass > 0 && k < 1.0f;
  if (lp && !linked(v, v.lp)) v.ylp = 0;
  v.k = k;
  const bool hp = highpass > 0;
  if (hp) {
    v.fntarget = std::min(static_cast<float>(highpass) / static_cast<float>(g.rate), 0.49f);
    if (!linked(v, v.hp)) {
      v.fn = v.fntarget;
      v.x1 = v.x2 = v.y1 = v.y2 = 0;
      highpass_coefficients(v);
    }
  }
  relink(v, linked(v, v.res), hp, lp);
}

void mix_block(int frames) {
  for (int o = 0; o < g.channels; ++o) std::fill(g.out[o], g.out[o] + frames, 0.0f);
  for (int i = 0; i < g.nsw; ++i) {
    MixVoice& v = g.mix[i];
    if (v.state != 2) continue;
    const int n = clamp_count(v.head->process(v.head, g.vbuf, frames), frames);
    int r = 0;
    if (v.changed) {
      r = std::min(kRamp, n);
      if (r > 0) {
        for (int o = 0; o < g.channels; ++o)
          if (v.cur[o] != 0 || v.tgt[o] != 0) ramp_add(g.out[o], g.vbuf, v.cur[o], v.tgt[o], r);
        if (g.rev.on && (v.sendcur != 0 || v.sendtgt != 0)) rev_send(g.vbuf, v.sendcur, v.sendtgt, r, r, 0);
      }
      std::copy(std::begin(v.tgt), std::end(v.tgt), v.cur);
      v.sendcur = v.sendtgt;
      v.changed = false;
    }
    for (int o = 0; o < g.channels; ++o)
      if (v.cur[o] != 0) g.routines->muladd(g.out[o] + r, g.vbuf + r, v.cur[o], n - r);
    if (g.rev.on && v.sendcur != 0 && n > r) rev_send(g.vbuf + r, v.sendcur, v.sendcur, 0, n - r, r);
    if (n < frames) voice_stopsound(g.voices[i].master, true);
  }
  if (g.rev.on) rev_process(frames);
}

void mix_render(int16_t* dst, int frames) {
  while (frames > 0) {
    if (g.tick == kTickRestart) {
      g.frame -= static_cast<int32_t>((int64_t{kTickRestart} * g.rate / 100) & ~15);
      g.tick = 0;
    }
    const auto due = static_cast<int32_t>((int64_t{g.tick} * g.rate / 100) & ~15);
    if (g.frame >= due) {
      (g.active.tickhandler ? g.active.tickhandler : AUDIO_tick)();
      ++g.tick;
      continue;
    }
    const int n = std::min({frames, due - g.frame, kBlock});
    mix_block(n);
    g.routines->convert(dst, g.out, kOrder[g.channels - 1], g.channels, n);
    dst += static_cast<size_t>(n) * g.channels;
    frames -= n;
    g.frame += n;
  }
}

}  // namespace eng
