// XA-family frame encoder: filter choice by smallest peak residual, shift from that peak, and
// 4-bit quantization with error feedback so the encoder tracks what a decoder reconstructs.
#include "quillon/codecs/xa.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kNumFilters = 5;
// Prediction weights as 32-bit floats; the residual is x + F0*s1 + F1*s2.
constexpr float kF0[kNumFilters] = {0.0f, -0.9375f, -1.796875f, -1.53125f, -1.90625f};
constexpr float kF1[kNumFilters] = {0.0f, 0.0f, 0.8125f, 0.859375f, 0.9375f};

struct VariantParams {
  int32_t cliplow;
  int32_t cliphigh;
  bool evenhigh;  // even sample in the high nibble
  int headerbytes;
  int framebytes;
};

constexpr VariantParams kVariants[] = {
    {-30000, 30000, true, 1, 15},   // QV-XA
    {-30720, 30719, false, 2, 16},  // CD-XA: header repeated
    {-30720, 30719, false, 2, 16},  // VAG: header and a zero flag byte
};

const VariantParams& params(int variant) {
  return (variant >= 0 && variant <= XA_VARIANT_VAG) ? kVariants[variant] : kVariants[0];
}

// What a frame's encoding takes from its input alone: the filter and shift, and the residuals of
// every filter tried (the chosen one is quantized).
struct FramePlan {
  float residual[kNumFilters][XA_FRAMESAMPLES];
  int filter;
  int shift;
};

// The clipped input as floats after the history: xs[0] = s2, xs[1] = s1, xs[2 + n] = sample n.
// Every value is exact, so the residuals are the same as with integer history.
void clipframe(const int16_t* in, const XA_ENCSTATE* state, const VariantParams& p,
               float xs[XA_FRAMESAMPLES + 2]) {
  xs[0] = static_cast<float>(state->s2);
  xs[1] = static_cast<float>(state->s1);
#if defined(__SSE2__)
  const __m128i lo = _mm_set1_epi16(static_cast<int16_t>(p.cliplow));
  const __m128i hi = _mm_set1_epi16(static_cast<int16_t>(p.cliphigh));
  for (int n = 0; n < XA_FRAMESAMPLES; n += 8) {
    // 28 is not a multiple of 8: the last group reads only its four samples.
    const __m128i raw = n + 8 <= XA_FRAMESAMPLES ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + n))
                                                 : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + n));
    const __m128i v = _mm_min_epi16(_mm_max_epi16(raw, lo), hi);
    _mm_storeu_ps(xs + 2 + n, _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16)));
    if (n + 8 <= XA_FRAMESAMPLES)
      _mm_storeu_ps(xs + 6 + n, _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16)));
  }
#else
  for (int n = 0; n < XA_FRAMESAMPLES; ++n) {
    const int32_t v = in[n];
    xs[2 + n] = static_cast<float>(v > p.cliphigh ? p.cliphigh : (v < p.cliplow ? p.cliplow : v));
  }
#endif
}

// The residuals x + F0 * s1 + F1 * s2 of filter i over the frame, and their peak magnitude.
float filterframe(const float* xs, int i, float residual[XA_FRAMESAMPLES]) {
#if defined(__SSE2__)
  const __m128 f0 = _mm_set1_ps(kF0[i]);
  const __m128 f1 = _mm_set1_ps(kF1[i]);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  __m128 peak = _mm_setzero_ps();
  for (int n = 0; n < XA_FRAMESAMPLES; n += 4) {
    const __m128 d =
        _mm_add_ps(_mm_add_ps(_mm_loadu_ps(xs + n + 2), _mm_mul_ps(f0, _mm_loadu_ps(xs + n + 1))),
                   _mm_mul_ps(f1, _mm_loadu_ps(xs + n)));
    _mm_storeu_ps(residual + n, d);
    peak = _mm_max_ps(peak, _mm_and_ps(d, magnitude));
  }
  peak = _mm_max_ps(peak, _mm_movehl_ps(peak, peak));
  peak = _mm_max_ss(peak, _mm_shuffle_ps(peak, peak, 1));
  return _mm_cvtss_f32(peak);
#else
  float peak = 0.0f;
  for (int n = 0; n < XA_FRAMESAMPLES; ++n) {
    residual[n] = xs[n + 2] + kF0[i] * xs[n + 1] + kF1[i] * xs[n];
    peak = std::max(peak, std::fabs(residual[n]));
  }
  return peak;
#endif
}

// Picks the filter with the smallest peak residual and the shift from that peak, and moves the
// sample history on to the frame's last two clipped inputs.
void planframe(const int16_t* in, XA_ENCSTATE* state, const VariantParams& p, int filtermask,
               FramePlan& plan) {
  if ((filtermask & 0x1F) == 0) filtermask = 1;  // an empty mask would leave no residual to code
  float xs[XA_FRAMESAMPLES + 2];
  clipframe(in, state, p, xs);

  double bestpeak = 1e21;
  int filter = 0;
  for (int i = 0; i < kNumFilters; ++i) {
    if (((filtermask >> i) & 1) == 0) continue;
    const float peak = filterframe(xs, i, plan.residual[i]);
    if (peak < bestpeak) {
      bestpeak = peak;
      filter = i;
    }
    if (i == 0 && peak <= 7.0f) {
      filter = 0;
      break;
    }
  }
  // Every run ends on the same two samples: the last two clipped inputs.
  state->s1 = static_cast<int32_t>(xs[XA_FRAMESAMPLES + 1]);
  state->s2 = static_cast<int32_t>(xs[XA_FRAMESAMPLES]);

  int32_t m = bestpeak >= 32767.0 ? 32767 : static_cast<int32_t>(bestpeak);
  int32_t mask = 0x4000;
  int shift = 0;
  while ((mask & (m + (mask >> 3))) == 0 && shift < 12) {
    mask >>= 1;
    ++shift;
  }
  plan.filter = filter;
  plan.shift = shift;
}

// Quantizes N planned frames of independent channels with error feedback. Each frame's feedback
// is one long serial chain of dependent operations; running N chains in the same loop lets the
// processor overlap them.
template <int N>
void quantizeframes(const FramePlan* plans, XA_ENCSTATE* const* states, uint8_t* const* outs, int variant) {
  const VariantParams& p = params(variant);
  double e1[N], e2[N], f0[N], f1[N], scale[N];
  uint8_t data[N][XA_FRAMESAMPLES / 2] = {};
  for (int k = 0; k < N; ++k) {
    const uint8_t header = static_cast<uint8_t>((plans[k].filter << 4) | (plans[k].shift & 15));
    outs[k][0] = header;
    if (variant == XA_VARIANT_CDXA) outs[k][1] = header;
    if (variant == XA_VARIANT_VAG) outs[k][1] = 0;
    // Locals keep the error history in registers: the output bytes may alias the state.
    e1[k] = states[k]->e1;
    e2[k] = states[k]->e2;
    f0[k] = kF0[plans[k].filter];
    f1[k] = kF1[plans[k].filter];
    scale[k] = static_cast<double>(1 << plans[k].shift);
  }
  for (int n = 0; n < XA_FRAMESAMPLES; ++n) {
    const bool high = ((n & 1) == 0) == p.evenhigh;
    for (int k = 0; k < N; ++k) {
      const double v =
          f0[k] * e1[k] + f1[k] * e2[k] + static_cast<double>(plans[k].residual[plans[k].filter][n]);
      // Error feedback can push v far out of range; bounding before the integer conversion keeps
      // it defined and changes nothing, since q is limited to 16 bits right after.
      double scaled = v * scale[k];
      if (scaled > 1e12) scaled = 1e12;
      if (scaled < -1e12) scaled = -1e12;
      int64_t q = static_cast<int64_t>(scaled);  // truncates toward zero
      q = (q + 0x800) & ~int64_t{0xFFF};
      if (q > 32767) q = 32767;
      if (q < -32768) q = -32768;
      const uint8_t nibble = static_cast<uint8_t>((q >> 12) & 15);
      data[k][n >> 1] |= high ? static_cast<uint8_t>(nibble << 4) : nibble;
      e2[k] = e1[k];
      e1[k] = static_cast<double>(q >> plans[k].shift) - v;
    }
  }
  for (int k = 0; k < N; ++k) {
    states[k]->e1 = e1[k];
    states[k]->e2 = e2[k];
    std::memcpy(outs[k] + p.headerbytes, data[k], sizeof data[k]);
  }
}

}  // namespace

int xa_framebytes(int variant) {
  return params(variant).framebytes;
}

int xa_encode_frame(const int16_t* in, uint8_t* out, XA_ENCSTATE* state, int variant, int filtermask) {
  FramePlan plan;
  planframe(in, state, params(variant), filtermask, plan);
  quantizeframes<1>(&plan, &state, &out, variant);
  return 1;
}

int xa_encode_frame_pair(const int16_t* const in[2], uint8_t* const out[2], XA_ENCSTATE* const state[2],
                         int variant, int filtermask) {
  FramePlan plans[2];
  planframe(in[0], state[0], params(variant), filtermask, plans[0]);
  planframe(in[1], state[1], params(variant), filtermask, plans[1]);
  quantizeframes<2>(plans, state, out, variant);
  return 1;
}

int xa_encode(const int16_t* in, uint8_t* out, int32_t count, XA_ENCSTATE* state, int variant,
              int filtermask) {
  const int framebytes = params(variant).framebytes;
  while (count >= XA_FRAMESAMPLES) {
    xa_encode_frame(in, out, state, variant, filtermask);
    in += XA_FRAMESAMPLES;
    out += framebytes;
    count -= XA_FRAMESAMPLES;
  }
  if (count > 0) {
    int16_t last[XA_FRAMESAMPLES] = {};
    std::memcpy(last, in, static_cast<size_t>(count) * sizeof(int16_t));
    xa_encode_frame(last, out, state, variant, filtermask);
  }
  return 1;
}
