// DVI (IMA) ADPCM encoder and decoder with the standard step and index tables.
#include "quillon/codecs/dvi.h"

#include <algorithm>

namespace {

constexpr int16_t kSteps[89] = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int8_t kIndexAdjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

// Applies a code to the state: the reconstructed difference moves the predictor, the code's
// magnitude moves the step index. The encoder and decoder share it, so they never drift apart.
int16_t advance(DVI_STATE* s, uint8_t code) {
  const int32_t step = kSteps[s->index];
  int32_t diff = step >> 3;
  if (code & 4) diff += step;
  if (code & 2) diff += step >> 1;
  if (code & 1) diff += step >> 2;
  if (code & 8) diff = -diff;
  s->predictor = std::clamp(s->predictor + diff, -32768, 32767);
  s->index = std::clamp(s->index + kIndexAdjust[code & 7], 0, 88);
  return static_cast<int16_t>(s->predictor);
}

}  // namespace

uint8_t dvi_encode_sample(DVI_STATE* s, int16_t sample) {
  const int32_t step = kSteps[s->index];
  int32_t diff = std::clamp(sample - s->predictor, -32768, 32767);
  uint8_t code = 0;
  if (diff < 0) {
    code = 8;
    diff = -diff;
  }
  if (diff >= step) {
    code |= 4;
    diff -= step;
  }
  if (diff >= step >> 1) {
    code |= 2;
    diff -= step >> 1;
  }
  if (diff >= step >> 2) code |= 1;
  advance(s, code);
  return code;
}

int16_t dvi_decode_nibble(DVI_STATE* s, uint8_t code) {
  return advance(s, code & 15);
}

int32_t dvi_bytes(int32_t frames, int channels) {
  return channels == 1 ? (frames + 1) / 2 : frames;
}

void dvi_encode(const int16_t* const* in, int32_t frames, int channels, DVI_STATE* states, uint8_t* out) {
  if (channels == 1) {
    for (int32_t i = 0; i < frames; i += 2) {
      const uint8_t hi = dvi_encode_sample(&states[0], in[0][i]);
      const uint8_t lo = i + 1 < frames ? dvi_encode_sample(&states[0], in[0][i + 1]) : 0;
      *out++ = static_cast<uint8_t>(hi << 4 | lo);
    }
    return;
  }
  for (int32_t i = 0; i < frames; ++i) {
    const uint8_t hi = dvi_encode_sample(&states[0], in[0][i]);
    *out++ = static_cast<uint8_t>(hi << 4 | dvi_encode_sample(&states[1], in[1][i]));
  }
}

void dvi_decode(const uint8_t* in, int32_t frames, int channels, DVI_STATE* states, int16_t* const* out) {
  if (channels == 1) {
    for (int32_t i = 0; i < frames; i += 2, ++in) {
      out[0][i] = dvi_decode_nibble(&states[0], *in >> 4);
      if (i + 1 < frames) out[0][i + 1] = dvi_decode_nibble(&states[0], *in);
    }
    return;
  }
  for (int32_t i = 0; i < frames; ++i, ++in) {
    out[0][i] = dvi_decode_nibble(&states[0], *in >> 4);
    out[1][i] = dvi_decode_nibble(&states[1], *in);
  }
}
