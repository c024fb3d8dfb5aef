// QV-XA ADPCM: 15-byte mono frames of 28 samples and 30-byte stereo frames of 28 sample pairs.
#pragma once

#include <cstdint>

#include "quillon/codecs/xa.h"

constexpr int QVXA_FRAMEBYTES = 15;
constexpr int QVXA_STEREOFRAMEBYTES = 30;

// Number of frames holding `count` samples.
constexpr int32_t qvxa_frames(int32_t count) {
  return count / 28 + (count % 28 != 0 ? 1 : 0);
}

// Encodes `count` samples of one channel as QV-XA frames (filters 0..3); returns 1.
int qvxa_encode(const int16_t* in, uint8_t* out, int32_t count, XA_ENCSTATE* state);

// Decodes ceil(count/28) mono frames into `out` (room for whole frames), truncating the
// prediction; prev1/prev2 (last sample, the one before) are updated in place. Returns 1.
int qvxa_decode_mono(int32_t count, int16_t* prev1, int16_t* prev2, const uint8_t* in, int16_t* out);

// Decodes ceil(count/28) 30-byte stereo frames into two buffers (room for whole frames),
// rounding the prediction; each channel keeps its own history. Returns 1.
int qvxa_decode_stereo(int32_t count, int16_t* lprev1, int16_t* lprev2, int16_t* rprev1, int16_t* rprev2,
                       const uint8_t* in, int16_t* left, int16_t* right);
