// The XA-family ADPCM frame encoder shared by QV-XA, CD-XA and VAG: 28 samples of one channel
// become one frame of a header and 14 bytes of 4-bit residuals. The variants differ only in
// clip limits, header bytes, nibble order and the filters they may choose.
#pragma once

#include <cstdint>

enum XA_VARIANT : int {
  XA_VARIANT_QVXA = 0,  // 15-byte frame, clip -30000..30000, even sample in the high nibble
  XA_VARIANT_CDXA = 1,  // 16-byte unit, header twice, clip -30720..30719, even sample low
  XA_VARIANT_VAG = 2,   // 16-byte frame, header + zero flag byte, clip -30720..30719, even sample low
};

constexpr int XA_FRAMESAMPLES = 28;
constexpr int XA_FILTERS_QVXA = 0x0F;  // filters 0..3
constexpr int XA_FILTERS_VAG = 0x1F;   // filters 0..4

// Per-channel encoder state; zero at the start of a sound, carried across frames and chunks.
struct XA_ENCSTATE {
  int32_t s1;  // last clipped input sample
  int32_t s2;  // the one before it
  double e1;   // quantization error of the last encoded sample
  double e2;   // the one before it
};

// Bytes one frame of `variant` takes.
int xa_framebytes(int variant);

// Encodes exactly 28 samples into one frame at `out`; returns 1.
int xa_encode_frame(const int16_t* in, uint8_t* out, XA_ENCSTATE* state, int variant, int filtermask);

// Encodes one frame of each of two independent channels, as two calls of xa_encode_frame would,
// in about two thirds of their time.
int xa_encode_frame_pair(const int16_t* const in[2], uint8_t* const out[2], XA_ENCSTATE* const state[2],
                         int variant, int filtermask);

// Encodes `count` samples frame by frame (a last short group is zero-padded to 28); returns 1.
int xa_encode(const int16_t* in, uint8_t* out, int32_t count, XA_ENCSTATE* state, int variant,
              int filtermask);
