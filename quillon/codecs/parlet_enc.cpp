// Parlet encoder: linear prediction, then per subframe an analysis-by-synthesis search of the
// pitch predictor and of the half-rate excitation against the decoder's own synthesis state.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "quillon/codecs/parlet.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

constexpr int N = PARLET_SUBFRAME;
constexpr int HALF = PARLET_SUBFRAME / 2;
// Excitation bits a subframe may take: with its 20 parameter bits and the 64 index bits this
// keeps a frame within PARLET_MAXFRAMEBITS.
constexpr int kExcitationBudget = (PARLET_MAXFRAMEBITS - 64) / 4 - 20;
static_assert(kExcitationBudget >= 2 * HALF, "every subframe must fit 54 zeros");
// Quantization noise aimed at, below the subframe's energy.
constexpr float kTargetSnrDb = 13.0f;
constexpr int kPitchCandidates = 3;
constexpr int32_t kLargestValue = 4096;

constexpr float kHalfband[6] = {0.59738597f, 0.0f, -0.11459156f, 0.0f, 0.01803268f, 0.0f};

// Bits of value v in entropy state `state` (zero runs not counted: they only save bits).
int entropybits(int32_t v, int state) {
  const int32_t m = v < 0 ? -v : v;
  if (state == 0) {
    if (m <= 1) return 2;
    return m <= 6 ? m + 2 : m + 3;
  }
  if (m == 0) return 2;
  if (m == 1) return 3;
  return m <= 6 ? m + 1 : m + 2;
}

int nextstate(int32_t v) {
  return (v < -1 || v > 1) ? 1 : 0;
}

void putones(PARLET_BITWRITER* w, int32_t n) {
  for (; n > 24; n -= 24) parlet_put(w, 0xFFFFFF, 24);
  if (n > 0) parlet_put(w, (1u << n) - 1, static_cast<int>(n));
}

void putvalue(PARLET_BITWRITER* w, int32_t v, int state) {
  const uint32_t sign = v > 0 ? 1 : 0;
  const int32_t m = v < 0 ? -v : v;
  if (state == 0) {
    if (m == 0) return parlet_put(w, 0, 2);
    if (v == -1) return parlet_put(w, 2, 2);
    if (v == 1) return parlet_put(w, 1, 2);
    if (m <= 6) return parlet_put(w, ((1u << m) - 1) | (sign << (m + 1)), m + 2);
    parlet_put(w, 0x7F, 8);
  } else {
    if (m == 0) return parlet_put(w, 0, 2);
    if (m == 1) return parlet_put(w, 2 | (sign << 2), 3);
    if (m <= 6) return parlet_put(w, ((1u << (m - 1)) - 1) | (sign << m), m + 1);
    parlet_put(w, 0x3F, 7);
  }
  putones(w, m - 7);
  parlet_put(w, sign << 1, 2);
}

void putentropy(PARLET_BITWRITER* w, const int32_t* c, int n) {
  int state = 0;
  for (int i = 0; i < n;) {
    int zeros = 0;
    while (i + zeros < n && c[i + zeros] == 0) ++zeros;
    // A run code takes 7 to 70 zeros; it pays from 8 zeros on (7 in state 1).
    if (zeros >= 7 && 2 * zeros > (state == 0 ? 14 : 13)) {
      const int take = std::min(zeros, 70);
      parlet_put(w, state == 0 ? 0xFF : 0x7F, state == 0 ? 8 : 7);
      parlet_put(w, static_cast<uint32_t>(take - 7), 6);
      state = 0;
      i += take;
      continue;
    }
    putvalue(w, c[i], state);
    state = nextstate(c[i]);
    ++i;
  }
}

void putternary(PARLET_BITWRITER* w, const int32_t* c, int n) {
  for (int i = 0; i < n; ++i) {
    if (c[i] == 0) {
      parlet_put(w, 0, 1);
    } else {
      parlet_put(w, c[i] > 0 ? 3 : 1, 2);
    }
  }
}

// Direct-form synthesis of samples from..to-1 of the frame with each block's coefficients,
// starting from the past outputs `mem` (most recent last); zero input when e is null.
void filter(const float* mem, const float (*blocka)[PARLET_ORDER], int from, int to, const float* e,
            float* out) {
  float y[PARLET_ORDER + N];
  std::memcpy(y, mem, sizeof(float) * PARLET_ORDER);
  for (int n = from; n < to; ++n) {
    const float* a = blocka[n < 12 ? 0 : n < 24 ? 1 : n < 36 ? 2 : 3];
    float* yn = y + PARLET_ORDER + (n - from);
    float acc = e ? e[n - from] : 0.0f;
    for (int i = 0; i < PARLET_ORDER; ++i) acc += a[i] * yn[-1 - i];
    *yn = acc;
    out[n - from] = acc;
  }
}

// Gram of the filtered pulse shapes of a subframe: the shape of the pulse at p covers samples
// p - off onwards as g[0..], so at(p, q) = sum over samples of shape p times shape q.
struct Gram {
  int off;
  float c[N][N + 5];              // c[d][m] = g[0] g[d] + ... + g[m] g[m + d]
  float at(int p, int q) const {  // p <= q
    return c[q - p][N - 1 - q + off];
  }
};

// Shapes that would start before the subframe are taken whole: a small error near its start
// that only the search sees, never the decoder.
void buildgram(const float* g, int off, Gram* G) {
  G->off = off;
  const int len = N + off;
  // Pulses of one phase lie an even distance apart: odd distances are never asked for.
  for (int d = 0; d < N; d += 2) {
    float sum = 0.0f;
    for (int m = 0; m + d < len; ++m) {
      sum += g[m] * g[m + d];
      G->c[d][m] = sum;
    }
  }
}

struct Choice {
  int32_t c[HALF];
  float err;
  int bits;
  bool clamped;  // the bit budget cut some value
};

// One half-rate mode of a subframe after factoring: with the Gram of its filtered pulse shapes
// (coded positions in reverse order) = R^T R and z = R^-T d, the error of amplitudes x is
// rest + |z - R x|^2, so each amplitude can be decided knowing the error of the ones before it.
struct Mode {
  float r[HALF][HALF];
  float z[HALF];
  float rest;
  float gainscale;  // 0.5 with interpolation
};

// Four partial sums, lane k taking the products k, k + 4, ...: the SSE2 path and the plain one
// add in the same order and give the same result.
inline float dot(const float* a, const float* b, int n) {
  int i = 0;
  float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
#if defined(__SSE2__)
  __m128 acc = _mm_setzero_ps();
  for (; i + 4 <= n; i += 4) acc = _mm_add_ps(acc, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, acc);
  s0 = lanes[0];
  s1 = lanes[1];
  s2 = lanes[2];
  s3 = lanes[3];
#else
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
#endif
  for (; i < n; ++i) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

void factor(Mode* md, const float* dc, const float (*phi)[HALF], float energy) {
  auto at = [&](int i, int j) { return phi[HALF - 1 - i][HALF - 1 - j]; };
  static thread_local float l[HALF][HALF];  // R transposed, so that the sums run along rows
  float zz = 0.0f;
  for (int i = 0; i < HALF; ++i) {
    const float diag = at(i, i) * 1.0001f + 1e-6f - dot(l[i], l[i], i);  // a trace of ridge
    const float rii = std::sqrt(std::max(diag, 1e-9f * at(i, i) + 1e-9f));
    l[i][i] = rii;
    const float inv = 1.0f / rii;
    for (int j = i + 1; j < HALF; ++j) l[j][i] = (at(i, j) - dot(l[i], l[j], i)) * inv;
    md->z[i] = (dc[HALF - 1 - i] - dot(l[i], md->z, i)) * inv;
    zz += md->z[i] * md->z[i];
  }
  for (int i = 0; i < HALF; ++i) {
    for (int j = i; j < HALF; ++j) md->r[i][j] = l[j][i];
  }
  md->rest = std::max(0.0f, energy - zz);
}

// Quantizes the amplitudes at a gain, in stream order, each knowing the ones before it; within
// the bit budget in entropy form.
Choice quantize(const Mode& md, float geff, bool entropyform) {
  Choice ch{};
  float err = md.rest;
  int bits = 0, state = 0;
  float x[HALF];
  for (int m = 0; m < HALF; ++m) {
    const int i = HALF - 1 - m;
    const float v = md.z[i] - dot(md.r[i] + i + 1, x + i + 1, HALF - 1 - i);
    const float a = v / (md.r[i][i] * geff);
    int32_t c;
    if (entropyform) {
      const float q = std::clamp(a, -static_cast<float>(kLargestValue), static_cast<float>(kLargestValue));
      c = static_cast<int32_t>(q + (q >= 0.0f ? 0.5f : -0.5f));  // nearest, without a library call
      const int allowed = kExcitationBudget - bits - 2 * (HALF - 1 - m);
      while (c != 0 && entropybits(c, state) > allowed) {
        c += c > 0 ? -1 : 1;
        ch.clamped = true;
      }
      bits += entropybits(c, state);
      state = nextstate(c);
    } else {
      c = a > 1.0f ? 2 : a < -1.0f ? -2 : 0;
      bits += c == 0 ? 1 : 2;
    }
    ch.c[m] = c;
    x[i] = geff * static_cast<float>(c);
    const float e = v - md.r[i][i] * x[i];
    err += e * e;
  }
  ch.err = err;
  ch.bits = bits;
  return ch;
}

// Entropy form: the coarsest gain whose error meets the target, but no finer than the budget
// allows (there the error grows again). Ternary form, whose bits do not depend on the gain: the
// least error.
Choice choosegain(const Mode& md, const float* gains, bool entropyform, float target, int* gain) {
  auto run = [&](int gi) { return quantize(md, gains[gi] * md.gainscale, entropyform); };
  if (!entropyform) {
    Choice best{};
    int bestgi = 0;
    for (int gi = 0; gi < PARLET_GAINS; gi += 6) {
      const Choice ch = run(gi);
      if (gi == 0 || ch.err < best.err) best = ch, bestgi = gi;
    }
    for (int gi = std::max(0, bestgi - 3); gi <= std::min(PARLET_GAINS - 1, bestgi + 3); ++gi) {
      const Choice ch = run(gi);
      if (ch.err < best.err) best = ch, bestgi = gi;
    }
    *gain = bestgi;
    return best;
  }
  // The coarsest gain in lo..63 that meets the target, if lo does.
  auto coarsest = [&](int lo, Choice* best) {
    int bestgi = lo;
    for (int hi = PARLET_GAINS - 1; lo < hi;) {
      const int mid = (lo + hi + 1) / 2;
      const Choice ch = run(mid);
      if (ch.err <= target) {
        lo = bestgi = mid;
        *best = ch;
      } else {
        hi = mid - 1;
      }
    }
    return bestgi;
  };
  // Mostly the budget is far away: one search over all gains does.
  Choice best = run(0);
  int bestgi = 0;
  if (!best.clamped && best.err <= target) {
    bestgi = coarsest(0, &best);
    if (!best.clamped) {
      *gain = bestgi;
      return best;
    }
  }
  int lo = 0, hi = PARLET_GAINS - 1;
  while (lo < hi) {  // the finest gain that fits the budget
    const int mid = (lo + hi) / 2;
    if (run(mid).clamped) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  best = run(lo);
  bestgi = best.err <= target ? coarsest(lo, &best) : lo;
  *gain = bestgi;
  return best;
}

// Autocorrelation of the windowed frame and the Levinson recursion, in the decoder's sign
// convention; returns the nearest table index of each coefficient.
void analyse(const float* x, int* indices) {
  static const struct Window {
    double v[PARLET_FRAME];
    Window() {
      for (int n = 0; n < PARLET_FRAME; ++n)
        v[n] = 0.54 - 0.46 * std::cos(2.0 * M_PI * (n + 0.5) / PARLET_FRAME);
    }
  } window;
  double w[PARLET_FRAME];
  for (int n = 0; n < PARLET_FRAME; ++n) w[n] = x[n] * window.v[n];
  double r[PARLET_ORDER + 1];
  for (int l = 0; l <= PARLET_ORDER; ++l) {
    double sum = 0.0;
    for (int n = l; n < PARLET_FRAME; ++n) sum += w[n] * w[n - l];
    // A slight lag window and noise floor keep the recursion well conditioned.
    r[l] = sum * std::exp(-0.5 * std::pow(2.0 * M_PI * 60.0 * l / 22050.0, 2.0));
  }
  r[0] *= 1.0001;
  double k[PARLET_ORDER] = {};
  if (r[0] > 0.0) {
    double A[PARLET_ORDER + 1] = {1.0};
    double err = r[0];
    for (int m = 1; m <= PARLET_ORDER && err > 0.0; ++m) {
      double acc = r[m];
      for (int i = 1; i < m; ++i) acc += A[i] * r[m - i];
      const double km = std::clamp(-acc / err, -0.9967, 0.9967);
      double next[PARLET_ORDER + 1];
      std::memcpy(next, A, sizeof next);
      for (int i = 1; i < m; ++i) next[i] = A[i] + km * A[m - i];
      next[m] = km;
      std::memcpy(A, next, sizeof A);
      k[m - 1] = km;
      err *= 1.0 - km * km;
    }
  }
  for (int i = 0; i < PARLET_ORDER; ++i) {
    const int lo = i < 4 ? 0 : 16, count = i < 4 ? 64 : 32;
    int best = 0;
    double bestd = 1e30;
    for (int j = 0; j < count; ++j) {
      const double d = std::fabs(k[i] - PARLET_K64[lo + j]);
      if (d < bestd) {  // the first of equal entries: index 0 for a zero first coefficient
        bestd = d;
        best = j;
      }
    }
    indices[i] = best;
  }
}

void encodesubframe(PARLET_SYNTH* s, int j, const float* x, const float (*blocka)[PARLET_ORDER],
                    bool entropyform, PARLET_BITWRITER* w) {
  const int at = j * N;
  float zir[N], t[N];
  filter(s->mem, blocka, at, at + N, nullptr, zir);
  float ex = 0.0f;
  for (int n = 0; n < N; ++n) {
    t[n] = x[at + n] - zir[n];
    ex += x[at + n] * x[at + n];
  }
  // Impulse response with the subframe's final coefficients.
  float h[N];
  {
    const float zero[PARLET_ORDER] = {};
    float e[N] = {1.0f};
    const float(*last)[PARLET_ORDER] = blocka + 3;
    float y[PARLET_ORDER + N];
    std::memcpy(y, zero, sizeof zero);
    for (int n = 0; n < N; ++n) {
      float acc = e[n];
      for (int i = 0; i < PARLET_ORDER; ++i) acc += (*last)[i] * y[PARLET_ORDER + n - 1 - i];
      y[PARLET_ORDER + n] = acc;
      h[n] = acc;
    }
  }
  float hr[N];  // reversed, for the forward convolution
  for (int n = 0; n < N; ++n) hr[n] = h[N - 1 - n];
  auto backward = [&](const float* v, float* d) {
    for (int p = 0; p < N; ++p) d[p] = dot(v + p, h, N - p);
  };
  float d[N];
  backward(t, d);

  // Pitch: preselect delays by correlation against the backward-filtered target, then compare
  // the best few through the filter.
  PARLET_SUBPARAMS sp{};
  // Earlier excitation with zeros before the kept history, which long lags in the first subframe
  // reach into.
  constexpr int kBefore = PARLET_SUBFRAME + 255 - PARLET_HISTORY;
  float ext[kBefore + PARLET_HISTORY + PARLET_FRAME] = {};
  std::memcpy(ext + kBefore, s->exc, sizeof(float) * (PARLET_HISTORY + at));
  const float* now = ext + kBefore + PARLET_HISTORY + at;
  int cand[kPitchCandidates];
  float score[kPitchCandidates];
  std::fill(cand, cand + kPitchCandidates, -1);
  std::fill(score, score + kPitchCandidates, 0.0f);
  // The window slides one sample per lag: its energy follows by adding one square and
  // dropping another, in double so that no drift builds up over the lags.
  double venergy = dot(now - N, now - N, N);
  for (int lag = 0; lag < 256; ++lag) {
    const float* v = now - N - lag;
    if (lag > 0) venergy += double{v[0]} * v[0] - double{v[N]} * v[N];
    const float corr = dot(d, v, N);
    const auto energy = static_cast<float>(venergy);
    if (corr <= 0.0f || energy <= 0.0f) continue;
    const float sc = corr * corr / energy;
    for (int c = 0; c < kPitchCandidates; ++c) {
      if (sc > score[c]) {
        for (int k = kPitchCandidates - 1; k > c; --k) {
          score[k] = score[k - 1];
          cand[k] = cand[k - 1];
        }
        score[c] = sc;
        cand[c] = lag;
        break;
      }
    }
  }
  float best = 0.0f, besty[N] = {};
  for (int c = 0; c < kPitchCandidates && cand[c] >= 0; ++c) {
    const float* v = now - N - cand[c];
    float y[N];
    for (int n = 0; n < N; ++n) y[n] = dot(hr + N - 1 - n, v, n + 1);
    const float ty = dot(t, y, N), yy = dot(y, y, N);
    if (yy <= 0.0f) continue;
    const int p = static_cast<int>(std::clamp(std::round(15.0f * ty / yy), 0.0f, 15.0f));
    const float beta = static_cast<float>(p) / 15.0f;
    const float gainr = 2.0f * beta * ty - beta * beta * yy;
    if (p > 0 && gainr > best) {
      best = gainr;
      sp.lag = cand[c];
      sp.pitch = p;
      std::memcpy(besty, y, sizeof y);
    }
  }
  float t2[N], d2[N], energy = 0.0f;
  const float beta = static_cast<float>(sp.pitch) / 15.0f;
  for (int n = 0; n < N; ++n) {
    t2[n] = t[n] - beta * besty[n];
    energy += t2[n] * t2[n];
  }
  backward(t2, d2);

  // The four half-rate modes: phase 0 or 1, interpolated or not.
  static thread_local Gram gh, gg;
  buildgram(h, 0, &gh);
  float g[N + 5];  // the interpolated pulse through the filter, from 5 samples before the pulse
  for (int i = -5; i < N; ++i) {
    float sum = 0.0f;
    for (int k = -5; k <= 5; ++k) {
      const float wk = k == 0 ? 1.0f : kHalfband[std::abs(k) - 1];
      const int hi = i - k;
      if (wk != 0.0f && hi >= 0 && hi < N) sum += wk * h[hi];
    }
    g[i + 5] = sum;
  }
  buildgram(g, 5, &gg);
  static thread_local Mode modes[4];
  float dc[HALF];
  static thread_local float phi[HALF][HALF];
  // The phase whose positions correlate more with the target: a cheap stand-in for factoring
  // both phases.
  float phasescore[2] = {};
  for (int p = 0; p < N; ++p) phasescore[p & 1] += d2[p] * d2[p] / gh.at(p, p);
  const int phase = phasescore[1] > phasescore[0] ? 1 : 0;
  for (int mode = phase; mode < 4; mode += 2) {
    const bool interp = mode < 2;
    Mode& md = modes[mode];
    md.gainscale = interp ? 0.5f : 1.0f;
    for (int m = 0; m < HALF; ++m) {
      const int p = phase + 2 * m;
      if (interp) {
        float sum = d2[p];
        for (int k = 1; k <= 5; k += 2) {
          const float wk = kHalfband[k - 1];
          if (p - k >= 0) sum += wk * d2[p - k];
          if (p + k < N) sum += wk * d2[p + k];
        }
        dc[m] = sum;
      } else {
        dc[m] = d2[p];
      }
      for (int m2 = 0; m2 <= m; ++m2) {
        const int q = phase + 2 * m2;
        phi[m][m2] = phi[m2][m] = interp ? gg.at(q, p) : gh.at(q, p);
      }
    }
    factor(&md, dc, phi, energy);
  }

  const float target = ex * std::pow(10.0f, -kTargetSnrDb / 10.0f);
  Choice bestch{};
  int bestmode = 0, bestgain = 0;
  bool bestmet = false;
  for (int mode = phase; mode < 4; mode += 2) {
    int gi;
    const Choice ch = choosegain(modes[mode], s->gains, entropyform, target, &gi);
    const bool met = ch.err <= target;
    // Among the modes that meet the target the cheapest, else the most accurate.
    const bool better =
        mode == phase || (met ? (!bestmet || ch.bits < bestch.bits) : (!bestmet && ch.err < bestch.err));
    if (better) {
      bestch = ch;
      bestmode = mode;
      bestgain = gi;
      bestmet = met;
    }
  }

  sp.gain = bestgain;
  sp.phase = bestmode & 1;
  sp.nointerp = bestmode < 2 ? 0 : 1;
  std::memcpy(sp.values, bestch.c, sizeof bestch.c);
  parlet_put(w, static_cast<uint32_t>(sp.lag), 8);
  parlet_put(w, static_cast<uint32_t>(sp.pitch), 4);
  parlet_put(w, static_cast<uint32_t>(sp.gain), 6);
  parlet_put(w, static_cast<uint32_t>(sp.phase), 1);
  parlet_put(w, static_cast<uint32_t>(sp.nointerp), 1);
  if (entropyform) {
    putentropy(w, sp.values, HALF);
  } else {
    putternary(w, sp.values, HALF);
  }
  parlet_excite(s, j, sp);
  float out[PARLET_FRAME];
  parlet_synth(s, blocka, at, at + N, out);
}

}  // namespace

void parlet_put(PARLET_BITWRITER* w, uint32_t value, int n) {
  w->acc |= value << w->count;
  w->count += n;
  while (w->count >= 8) {
    if (w->size < w->capacity) {
      w->out[w->size] = static_cast<uint8_t>(w->acc);
    } else {
      w->overflow = true;
    }
    ++w->size;
    w->acc >>= 8;
    w->count -= 8;
  }
}

void parlet_flush(PARLET_BITWRITER* w) {
  if (w->count > 0) parlet_put(w, 0, 8 - w->count);
}

void parlet_encode_start(PARLET_ENCODER* e, PARLET_BITWRITER* w) {
  const PARLET_HEADER h = PARLET_ENCODERHEADER;
  parlet_reset(&e->synth, h);
  e->started = true;
  parlet_put(w, static_cast<uint32_t>(h.halfrate), 1);
  parlet_put(w, static_cast<uint32_t>(h.threshold), 4);
  parlet_put(w, static_cast<uint32_t>(h.gainbase), 4);
  parlet_put(w, static_cast<uint32_t>(h.gainstep), 6);
}

void parlet_encode_frame(PARLET_ENCODER* e, const int16_t* in, PARLET_BITWRITER* w) {
  float x[PARLET_FRAME];
  for (int n = 0; n < PARLET_FRAME; ++n) x[n] = in[n];
  int indices[PARLET_ORDER];
  analyse(x, indices);
  for (int i = 0; i < PARLET_ORDER; ++i) parlet_put(w, static_cast<uint32_t>(indices[i]), i < 4 ? 6 : 5);
  PARLET_SYNTH* s = &e->synth;
  float blocka[4][PARLET_ORDER];
  parlet_blocks(s, indices, blocka);
  const bool entropyform = indices[0] < s->threshold;
  for (int j = 0; j < 4; ++j) encodesubframe(s, j, x, blocka, entropyform, w);
  parlet_endframe(s);
}
