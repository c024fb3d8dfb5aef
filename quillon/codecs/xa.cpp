// XA-family frame encoder: filter choice by smallest peak residual, shift from that peak, and
// 4-bit quantization with error feedback so the encoder tracks what a decoder reconstructs.
#include "quillon/codecs/xa.h"

#include <cmath>
#include <cstring>

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

}  // namespace

int xa_framebytes(int variant) {
  return params(variant).framebytes;
}

int xa_encode_frame(const int16_t* in, uint8_t* out, XA_ENCSTATE* state, int variant, int filtermask) {
  const VariantParams& p = params(variant);
  if ((filtermask & 0x1F) == 0) filtermask = 1;  // an empty mask would leave no residual to code

  // Clipped samples as floats: every value is exact, so the residuals are the same as with
  // integer history.
  float x[XA_FRAMESAMPLES];
  for (int n = 0; n < XA_FRAMESAMPLES; ++n) {
    int32_t v = in[n];
    x[n] = static_cast<float>(v > p.cliphigh ? p.cliphigh : (v < p.cliplow ? p.cliplow : v));
  }

  float residual[kNumFilters][XA_FRAMESAMPLES];
  double bestpeak = 1e21;
  int filter = 0;
  const float s1 = static_cast<float>(state->s1);
  const float s2 = static_cast<float>(state->s2);
  for (int i = 0; i < kNumFilters; ++i) {
    if (((filtermask >> i) & 1) == 0) continue;
    float h1 = s1, h2 = s2, peak = 0.0f;
    for (int n = 0; n < XA_FRAMESAMPLES; ++n) {
      const float d = x[n] + kF0[i] * h1 + kF1[i] * h2;
      residual[i][n] = d;
      const float a = std::fabs(d);
      if (a > peak) peak = a;
      h2 = h1;
      h1 = x[n];
    }
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
  state->s1 = static_cast<int32_t>(x[XA_FRAMESAMPLES - 1]);
  state->s2 = static_cast<int32_t>(x[XA_FRAMESAMPLES - 2]);

  int32_t m = bestpeak >= 32767.0 ? 32767 : static_cast<int32_t>(bestpeak);
  int32_t mask = 0x4000;
  int shift = 0;
  while ((mask & (m + (mask >> 3))) == 0 && shift < 12) {
    mask >>= 1;
    ++shift;
  }

  const uint8_t header = static_cast<uint8_t>((filter << 4) | (shift & 15));
  out[0] = header;
  if (variant == XA_VARIANT_CDXA) out[1] = header;
  if (variant == XA_VARIANT_VAG) out[1] = 0;
  // Locals keep the error history in registers: the output bytes may alias the state.
  uint8_t data[XA_FRAMESAMPLES / 2] = {};
  double e1 = state->e1;
  double e2 = state->e2;
  const double f0 = kF0[filter];
  const double f1 = kF1[filter];
  const double scale = static_cast<double>(1 << shift);
  for (int n = 0; n < XA_FRAMESAMPLES; ++n) {
    const double v = f0 * e1 + f1 * e2 + static_cast<double>(residual[filter][n]);
    // Error feedback can push v far out of range; bounding before the integer conversion keeps
    // it defined and changes nothing, since q is limited to 16 bits right after.
    double scaled = v * scale;
    if (scaled > 1e12) scaled = 1e12;
    if (scaled < -1e12) scaled = -1e12;
    int64_t q = static_cast<int64_t>(scaled);  // truncates toward zero
    q = (q + 0x800) & ~int64_t{0xFFF};
    if (q > 32767) q = 32767;
    if (q < -32768) q = -32768;
    const uint8_t nibble = static_cast<uint8_t>((q >> 12) & 15);
    const bool high = ((n & 1) == 0) == p.evenhigh;
    data[n >> 1] |= high ? static_cast<uint8_t>(nibble << 4) : nibble;
    e2 = e1;
    e1 = static_cast<double>(q >> shift) - v;
  }
  state->e1 = e1;
  state->e2 = e2;
  std::memcpy(out + p.headerbytes, data, sizeof data);
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
