// Parlet decoder: bit reader, header, frame decoding and the synthesis the encoder shares.
#include "quillon/codecs/parlet.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

const float PARLET_K64[64] = {
    0.0f,       -0.996776f, -0.990327f, -0.983879f, -0.977431f, -0.970982f, -0.964534f, -0.958085f,
    -0.951637f, -0.930754f, -0.90496f,  -0.879167f, -0.853373f, -0.827579f, -0.801786f, -0.775992f,
    -0.750198f, -0.724405f, -0.698611f, -0.670635f, -0.619048f, -0.56746f,  -0.515873f, -0.464286f,
    -0.412698f, -0.361111f, -0.309524f, -0.257937f, -0.206349f, -0.154762f, -0.103175f, -0.051587f,
    0.0f,       0.051587f,  0.103175f,  0.154762f,  0.206349f,  0.257937f,  0.309524f,  0.361111f,
    0.412698f,  0.464286f,  0.515873f,  0.56746f,   0.619048f,  0.670635f,  0.698611f,  0.724405f,
    0.750198f,  0.775992f,  0.801786f,  0.827579f,  0.853373f,  0.879167f,  0.90496f,   0.930754f,
    0.951637f,  0.958085f,  0.964534f,  0.970982f,  0.977431f,  0.983879f,  0.990327f,  0.996776f,
};

const float PARLET_HALFBAND[3] = {0.59738597f, -0.11459156f, 0.01803268f};

namespace {

// Blocks of the four-step coefficient interpolation: each starts one step further.
constexpr int kBlockStart[4] = {0, 12, 24, 36};

// Hostile coefficient sets can drive the synthesis filter far beyond any 16-bit output; holding
// its state inside this bound keeps every value finite without touching real speech.
constexpr float kStateLimit = 1.0e9f;

constexpr int32_t kLargestValue = 1 << 24;

inline void fill(PARLET_BITREADER* r) {
  while (r->count < 8) {
    if (r->p == r->end && !(r->refill && r->refill(r->context, &r->p, &r->end) && r->p != r->end)) {
      r->refill = nullptr;
      ++r->zerobytes;
      r->count += 8;
      continue;
    }
    r->buf |= static_cast<uint32_t>(*r->p++) << r->count;
    r->count += 8;
  }
}

inline uint32_t bit(PARLET_BITREADER* r) {
  return parlet_bits_read(r, 1);
}

// Counts 1 bits up to `most`, consuming the 0 that ends them (none when `most` is reached).
inline int ones(PARLET_BITREADER* r, int most) {
  int n = 0;
  while (n < most && bit(r)) ++n;
  return n;
}

inline int32_t signed_by(PARLET_BITREADER* r, int32_t magnitude) {
  return bit(r) ? magnitude : -magnitude;
}

// Escape: 7 plus the 1 bits before the next 0, then the sign.
int32_t large(PARLET_BITREADER* r) {
  int32_t m = 7;
  // Past the data only zero bits come, so this ends at the data's end at the latest; the
  // magnitude stops growing long before it could overflow.
  while (bit(r)) m = std::min(m + 1, kLargestValue);
  return signed_by(r, m);
}

void ternary(PARLET_BITREADER* r, int32_t* c, int n) {
  for (int i = 0; i < n; ++i) c[i] = bit(r) ? (bit(r) ? 2 : -2) : 0;
}

// The two-state code; state 0 at the start of each subframe.
void entropy(PARLET_BITREADER* r, int32_t* c, int n) {
  int state = 0;
  for (int i = 0; i < n;) {
    int32_t v = 0;
    int run = 0;
    if (state == 0) {
      const int k = ones(r, 8);
      if (k == 0) {
        v = bit(r) ? -1 : 0;
      } else if (k == 1) {
        v = 1;
      } else if (k <= 6) {
        v = signed_by(r, k);
        state = 1;
      } else if (k == 7) {
        v = large(r);
        state = 1;
      } else {
        run = static_cast<int>(parlet_bits_read(r, 6)) + 7;
      }
    } else {
      const int k = ones(r, 7);
      if (k == 0) {
        v = bit(r) ? signed_by(r, 1) : 0;
        state = 0;
      } else if (k <= 5) {
        v = signed_by(r, k + 1);
      } else if (k == 6) {
        v = large(r);
      } else {
        run = static_cast<int>(parlet_bits_read(r, 6)) + 7;
        state = 0;
      }
    }
    if (run > 0) {
      const int m = std::min(run, n - i);
      std::fill(c + i, c + i + m, 0);
      i += m;
    } else {
      c[i++] = v;
    }
  }
}

}  // namespace

void parlet_bits_start(PARLET_BITREADER* r, const uint8_t* data, size_t size) {
  *r = PARLET_BITREADER{};
  r->p = data;
  r->end = data + size;
  fill(r);
}

void parlet_bits_prime(PARLET_BITREADER* r) {
  fill(r);
}

uint32_t parlet_bits_read(PARLET_BITREADER* r, int n) {
  const uint32_t v = r->buf & ((1u << n) - 1);
  r->buf >>= n;
  r->count -= n;
  fill(r);
  return v;
}

bool parlet_bits_overrun(const PARLET_BITREADER* r) {
  return r->zerobytes * 8 > r->count;
}

void parlet_reset(PARLET_SYNTH* s, const PARLET_HEADER& h) {
  *s = PARLET_SYNTH{};
  s->halfrate = h.halfrate;
  s->threshold = 32 - h.threshold;
  const float ratio = 1.04f + 0.001f * static_cast<float>(h.gainstep);
  s->gains[0] = static_cast<float>((h.gainbase + 1) * 8);
  for (int i = 1; i < PARLET_GAINS; ++i) s->gains[i] = s->gains[i - 1] * ratio;
}

PARLET_HEADER parlet_read_header(PARLET_BITREADER* r) {
  PARLET_HEADER h;
  h.halfrate = static_cast<int>(parlet_bits_read(r, 1));
  h.threshold = static_cast<int>(parlet_bits_read(r, 4));
  h.gainbase = static_cast<int>(parlet_bits_read(r, 4));
  h.gainstep = static_cast<int>(parlet_bits_read(r, 6));
  return h;
}

int16_t parlet_to16(float v) {
  if (v >= 32767.0f) return 32767;
  if (v <= -32768.0f) return -32768;
  return static_cast<int16_t>(v);  // truncation toward zero
}

void parlet_direct(const float* k, float* a) {
  float A[PARLET_ORDER] = {};
  for (int m = 0; m < PARLET_ORDER; ++m) {
    float prev[PARLET_ORDER];
    std::memcpy(prev, A, sizeof(float) * static_cast<size_t>(m));
    for (int i = 0; i < m; ++i) A[i] = prev[i] + k[m] * prev[m - 1 - i];
    A[m] = k[m];
  }
  for (int i = 0; i < PARLET_ORDER; ++i) a[i] = -A[i];
}

void parlet_blocks(PARLET_SYNTH* s, const int* indices, float (*blocka)[PARLET_ORDER]) {
  float step[PARLET_ORDER];
  for (int i = 0; i < PARLET_ORDER; ++i) {
    // Indices come from 6- and 5-bit fields, so both tables are indexed in range.
    const float k = i < 4 ? PARLET_K64[indices[i] & 63] : PARLET_K64[16 + (indices[i] & 31)];
    step[i] = (k - s->k[i]) * 0.25f;
  }
  for (int b = 0; b < 4; ++b) {
    for (int i = 0; i < PARLET_ORDER; ++i) s->k[i] += step[i];
    parlet_direct(s->k, blocka[b]);
  }
}

void parlet_excite(PARLET_SYNTH* s, int j, const PARLET_SUBPARAMS& sp) {
  float c[PARLET_SUBFRAME];
  float g = s->gains[sp.gain & 63];
  if (s->halfrate) {
    const int h = sp.phase & 1;
    std::fill(c, c + PARLET_SUBFRAME, 0.0f);
    for (int m = 0; m < PARLET_SUBFRAME / 2; ++m) c[h + 2 * m] = static_cast<float>(sp.values[m]);
    if (!sp.nointerp) {
      for (int n = 1 - h; n < PARLET_SUBFRAME; n += 2) {
        float v = 0.0f;
        for (int d = 0; d < 3; ++d) {
          const int lo = n - (2 * d + 1), hi = n + (2 * d + 1);
          v += PARLET_HALFBAND[d] * ((lo >= 0 ? c[lo] : 0.0f) + (hi < PARLET_SUBFRAME ? c[hi] : 0.0f));
        }
        c[n] = v;
      }
      g *= 0.5f;
    }
  } else {
    for (int n = 0; n < PARLET_SUBFRAME; ++n) c[n] = static_cast<float>(sp.values[n]);
  }
  const float beta = static_cast<float>(sp.pitch & 15) / 15.0f;
  const int delay = PARLET_SUBFRAME + (sp.lag & 255);
  float* e = s->exc + PARLET_HISTORY + PARLET_SUBFRAME * j;
  for (int n = 0; n < PARLET_SUBFRAME; ++n) {
    // Before the kept history (first subframe, lags above 216) the predictor reads zeros.
    const int from = PARLET_HISTORY + PARLET_SUBFRAME * j + n - delay;
    const float past = from >= 0 ? s->exc[from] : 0.0f;
    e[n] = std::clamp(g * c[n] + beta * past, -kStateLimit, kStateLimit);
  }
}

void parlet_filter(float* mem, const float (*blocka)[PARLET_ORDER], int from, int to, const float* e,
                   float* out) {
  float y[PARLET_ORDER + PARLET_FRAME];
  std::memcpy(y, mem, sizeof(float) * PARLET_ORDER);
  int n = from;
  for (int b = 0; b < 4 && n < to; ++b) {
    const int blockend = b < 3 ? kBlockStart[b + 1] : INT32_MAX;
    if (n >= blockend) continue;
    const float* a = blocka[b];
    const int stop = std::min(to, blockend);
    for (; n < stop; ++n) {
      float* yn = y + PARLET_ORDER + (n - from);
      float acc = e[n - from];
      for (int i = 0; i < PARLET_ORDER; ++i) acc += a[i] * yn[-1 - i];
      *yn = std::clamp(acc, -kStateLimit, kStateLimit);
      out[n - from] = *yn;
    }
  }
  std::memcpy(mem, y + (to - from), sizeof(float) * PARLET_ORDER);
}

void parlet_synth(PARLET_SYNTH* s, const float (*blocka)[PARLET_ORDER], int from, int to, float* out) {
  parlet_filter(s->mem, blocka, from, to, s->exc + PARLET_HISTORY + from, out + from);
}

void parlet_endframe(PARLET_SYNTH* s) {
  std::memmove(s->exc, s->exc + PARLET_FRAME, sizeof(float) * PARLET_HISTORY);
}

void parlet_read_values(PARLET_BITREADER* r, bool entropyform, int32_t* c, int n) {
  if (entropyform) {
    entropy(r, c, n);
  } else {
    ternary(r, c, n);
  }
}

void parlet_decode_frame(PARLET_SYNTH* s, PARLET_BITREADER* r, float* out) {
  int indices[PARLET_ORDER];
  for (int i = 0; i < PARLET_ORDER; ++i) indices[i] = static_cast<int>(parlet_bits_read(r, i < 4 ? 6 : 5));
  float blocka[4][PARLET_ORDER];
  parlet_blocks(s, indices, blocka);
  const bool entropyform = indices[0] < s->threshold;
  const int count = s->halfrate ? PARLET_SUBFRAME / 2 : PARLET_SUBFRAME;
  PARLET_SUBPARAMS sp{};
  for (int j = 0; j < 4; ++j) {
    sp.lag = static_cast<int>(parlet_bits_read(r, 8));
    sp.pitch = static_cast<int>(parlet_bits_read(r, 4));
    sp.gain = static_cast<int>(parlet_bits_read(r, 6));
    if (s->halfrate) {
      sp.phase = static_cast<int>(parlet_bits_read(r, 1));
      sp.nointerp = static_cast<int>(parlet_bits_read(r, 1));
    }
    parlet_read_values(r, entropyform, sp.values, count);
    parlet_excite(s, j, sp);
  }
  parlet_synth(s, blocka, 0, PARLET_FRAME, out);
  parlet_endframe(s);
}
