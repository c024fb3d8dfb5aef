// N64 codebook design (order-2 linear prediction per frame, reflection coefficients, two rounds
// of splitting and refinement) and the frame encoder with its scale search.
#include "quillon/codecs/n64.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr double kReflectionLimit = 0.9999999999;
constexpr double kMinEnergy = 10.0;
constexpr double kPerturbation = 0.01;
constexpr int kRefinePasses = 4;
constexpr int kMaxScale = 12;

using Reflection = std::array<double, N64_ORDER>;

double limit(double k) {
  return std::clamp(k, -kReflectionLimit, kReflectionLimit);
}

// Order-2 Levinson recursion on the autocorrelation r[0..2].
Reflection reflectionof(const double r[3]) {
  const double k1 = limit(r[1] / r[0]);
  const double e1 = r[0] * (1.0 - k1 * k1);
  const double k2 = e1 > 0.0 ? limit((r[2] - k1 * r[1]) / e1) : 0.0;
  return {k1, k2};
}

double distance(const Reflection& a, const Reflection& b) {
  return (a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]);
}

Reflection average(const std::vector<Reflection>& v) {
  Reflection m{0.0, 0.0};
  for (const Reflection& k : v) {
    m[0] += k[0];
    m[1] += k[1];
  }
  if (!v.empty()) {
    m[0] /= static_cast<double>(v.size());
    m[1] /= static_cast<double>(v.size());
  }
  return m;
}

// Assigns every frame's predictor to its nearest of the first n centres and moves each centre to
// the mean of its members; a centre without members stays where it is.
void refine(const std::vector<Reflection>& frames, Reflection* centres, int n) {
  for (int pass = 0; pass < kRefinePasses; ++pass) {
    Reflection sum[N64_PREDICTORS] = {};
    int members[N64_PREDICTORS] = {};
    for (const Reflection& k : frames) {
      int best = 0;
      for (int c = 1; c < n; ++c)
        if (distance(k, centres[c]) < distance(k, centres[best])) best = c;
      sum[best][0] += k[0];
      sum[best][1] += k[1];
      ++members[best];
    }
    for (int c = 0; c < n; ++c) {
      if (members[c] == 0) continue;
      centres[c] = {sum[c][0] / members[c], sum[c][1] / members[c]};
    }
  }
}

// The two 8-value rows of a predictor: the response of the next 8 samples to the sample two back
// (row 0) and to the last sample (row 1), in units of 1/2048.
void bookrows(const Reflection& k, int16_t* rows) {
  const double a2 = k[1];
  const double a1 = k[0] * (1.0 - k[1]);
  double h[2][8];
  for (int row = 0; row < 2; ++row) {
    double x2 = row == 0 ? 1.0 : 0.0, x1 = row == 0 ? 0.0 : 1.0;
    for (int j = 0; j < 8; ++j) {
      const double y = a1 * x1 + a2 * x2;
      h[row][j] = y;
      x2 = x1;
      x1 = y;
    }
  }
  for (int row = 0; row < 2; ++row)
    for (int j = 0; j < 8; ++j)
      rows[row * 8 + j] = static_cast<int16_t>(std::clamp(std::lround(h[row][j] * 2048.0), -32768L, 32767L));
}

int32_t floordiv2048(int64_t v) {
  return static_cast<int32_t>(v >= 0 ? v / 2048 : -((-v + 2047) / 2048));
}

// The prediction of sample j of a half from the state (s2, s1) and the half's earlier residuals.
int32_t predict(const int16_t* p, int32_t s2, int32_t s1, const int32_t* residual, int j) {
  int64_t acc = int64_t{p[j]} * s2 + int64_t{p[8 + j]} * s1;
  for (int k = 0; k < j; ++k) acc += int64_t{p[8 + j - k - 1]} * residual[k];
  return floordiv2048(acc);
}

int16_t clamp16(int64_t v) {
  return static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767));
}

// Quantises the frame with predictor p at `scale`; returns whether some residual had to be
// limited by 2 or more.
bool quantise(const int16_t* x, const int16_t* p, int scale, const N64_ENCSTATE& from, int8_t* res,
              int16_t* recon) {
  int32_t s2 = from.s2, s1 = from.s1;
  bool clipped = false;
  const double step = static_cast<double>(1 << scale);
  for (int half = 0; half < 2; ++half) {
    int32_t errs[8];
    for (int j = 0; j < 8; ++j) {
      const int n = half * 8 + j;
      const int32_t prediction = predict(p, s2, s1, errs, j);
      const double r = (x[n] - prediction) / step;
      auto q = static_cast<int32_t>(r + (r > 0 ? 0.4999999 : -0.4999999));
      const int32_t limited = std::clamp(q, -8, 7);
      if (std::abs(q - limited) >= 2) clipped = true;
      q = limited;
      res[n] = static_cast<int8_t>(q);
      errs[j] = q * (1 << scale);
      recon[n] = clamp16(int64_t{prediction} + errs[j]);
    }
    s2 = recon[half * 8 + 6];
    s1 = recon[half * 8 + 7];
  }
  return clipped;
}

}  // namespace

void n64_designcodebook(const int16_t* in, int32_t count, int16_t book[N64_BOOKVALUES]) {
  std::vector<Reflection> frames;
  for (int32_t at = 0; at < count; at += N64_FRAMESAMPLES) {
    // Lags reach back into the previous frame; before the first sample the signal is silent.
    auto x = [&](int64_t i) { return i >= 0 && i < count ? static_cast<double>(in[i]) : 0.0; };
    double r[3] = {0.0, 0.0, 0.0};
    for (int64_t n = at - N64_FRAMESAMPLES; n < int64_t{at} + N64_FRAMESAMPLES; ++n)
      for (int k = 0; k < 3; ++k) r[k] += x(n) * x(n - k);
    if (r[0] <= kMinEnergy) continue;
    frames.push_back(reflectionof(r));
  }
  Reflection centres[N64_PREDICTORS] = {average(frames)};
  for (int n = 1; n < N64_PREDICTORS; n *= 2) {
    for (int c = n - 1; c >= 0; --c) {
      const Reflection k = centres[c];
      centres[2 * c] = {limit(k[0] + kPerturbation), limit(k[1] + kPerturbation)};
      centres[2 * c + 1] = {limit(k[0] - kPerturbation), limit(k[1] - kPerturbation)};
    }
    refine(frames, centres, 2 * n);
  }
  for (int p = 0; p < N64_PREDICTORS; ++p) bookrows(centres[p], book + p * 16);
}

int n64_encodeframe(const int16_t* in, int32_t n, const int16_t book[N64_BOOKVALUES], N64_ENCSTATE* state,
                    uint8_t out[N64_FRAMEBYTES], int16_t* recon) {
  if (n > N64_FRAMESAMPLES) return 0;
  int16_t x[N64_FRAMESAMPLES] = {};
  if (n > 0) std::memcpy(x, in, static_cast<size_t>(n) * sizeof(int16_t));

  double best = 1e30;
  int chosen = 0;
  int32_t chosenerr[N64_FRAMESAMPLES] = {};
  for (int p = 0; p < N64_PREDICTORS; ++p) {
    const int16_t* rows = book + p * 16;
    int32_t err[N64_FRAMESAMPLES];
    double sum = 0.0;
    int32_t s2 = state->s2, s1 = state->s1;
    for (int half = 0; half < 2; ++half) {
      for (int j = 0; j < 8; ++j) {
        const int k = half * 8 + j;
        err[k] = static_cast<int32_t>(
            std::clamp<int64_t>(x[k] - predict(rows, s2, s1, err + half * 8, j), -32768, 32767));
        sum += static_cast<double>(err[k]) * err[k];
      }
      s2 = x[half * 8 + 6];
      s1 = x[half * 8 + 7];
    }
    if (sum < best) {
      best = sum;
      chosen = p;
      std::memcpy(chosenerr, err, sizeof err);
    }
  }
  int32_t peak = 0;
  for (int32_t e : chosenerr)
    if (std::abs(e) > std::abs(peak)) peak = e;
  int scale = 0;
  while ((peak > 7 || peak < -8) && scale < kMaxScale) {
    peak >>= 1;
    ++scale;
  }
  const int16_t* rows = book + chosen * 16;
  int8_t res[N64_FRAMESAMPLES];
  int16_t rec[N64_FRAMESAMPLES];
  if (quantise(x, rows, scale, *state, res, rec) && scale < kMaxScale)
    quantise(x, rows, ++scale, *state, res, rec);
  out[0] = static_cast<uint8_t>((scale << 4) | chosen);
  for (int i = 0; i < 8; ++i)
    out[1 + i] = static_cast<uint8_t>(((res[2 * i] & 15) << 4) | (res[2 * i + 1] & 15));
  state->s2 = rec[14];
  state->s1 = rec[15];
  if (recon) std::memcpy(recon, rec, sizeof rec);
  return 1;
}

int32_t n64_encode(const int16_t* in, int32_t count, int32_t loopstart, uint8_t* out,
                   int16_t book[N64_BOOKVALUES], int16_t loopstate[N64_LOOPSTATEVALUES]) {
  n64_designcodebook(in, count, book);
  N64_ENCSTATE state{0, 0};
  int16_t recon[N64_FRAMESAMPLES];
  const int32_t frames = n64_frames(count);
  for (int32_t f = 0; f < frames; ++f) {
    const int32_t at = f * N64_FRAMESAMPLES;
    n64_encodeframe(in + at, std::min(N64_FRAMESAMPLES, count - at), book, &state, out + f * N64_FRAMEBYTES,
                    recon);
    if (loopstart >= at && loopstart < at + N64_FRAMESAMPLES && loopstate) {
      for (int i = 0; i < N64_LOOPSTATEVALUES; ++i)
        loopstate[i] = static_cast<int16_t>(std::clamp<int32_t>(recon[i], -32767, 32767));
    }
  }
  return frames * N64_FRAMEBYTES;
}
