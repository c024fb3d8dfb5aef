// QV-XA decoders (mono truncating, stereo rounding) and the QV-XA entry of the XA encoder.
#include "quillon/codecs/qvxa.h"

namespace {

// Decoder weights, scale 1/256. Filter indexes 4..15 never occur in data this system writes;
// they decode with zero weights rather than reading past the table.
constexpr int32_t kK1[16] = {0, 240, 460, 392};
constexpr int32_t kK2[16] = {0, 0, -208, -220};

inline int16_t clamp16(int32_t y) {
  return static_cast<int16_t>(y > 32767 ? 32767 : (y < -32768 ? -32768 : y));
}

// The residual nibble placed in the top 4 bits and shifted down arithmetically.
inline int32_t residual(uint32_t nibble, int shift) {
  return static_cast<int32_t>(nibble << 28) >> (shift + 8);
}

}  // namespace

int qvxa_encode(const int16_t* in, uint8_t* out, int32_t count, XA_ENCSTATE* state) {
  return xa_encode(in, out, count, state, XA_VARIANT_QVXA, XA_FILTERS_QVXA);
}

int qvxa_decode_mono(int32_t count, int16_t* prev1, int16_t* prev2, const uint8_t* in, int16_t* out) {
  int32_t p1 = *prev1;
  int32_t p2 = *prev2;
  for (int32_t f = qvxa_frames(count); f > 0; --f) {
    const int filter = in[0] >> 4;
    const int shift = in[0] & 15;
    const int32_t k1 = kK1[filter];
    const int32_t k2 = kK2[filter];
    for (int j = 1; j < QVXA_FRAMEBYTES; ++j) {
      const uint32_t b = in[j];
      int32_t y = clamp16((residual(b >> 4, shift) + k1 * p1 + k2 * p2) >> 8);
      *out++ = static_cast<int16_t>(y);
      p2 = p1;
      p1 = y;
      y = clamp16((residual(b & 15, shift) + k1 * p1 + k2 * p2) >> 8);
      *out++ = static_cast<int16_t>(y);
      p2 = p1;
      p1 = y;
    }
    in += QVXA_FRAMEBYTES;
  }
  *prev1 = static_cast<int16_t>(p1);
  *prev2 = static_cast<int16_t>(p2);
  return 1;
}

int qvxa_decode_stereo(int32_t count, int16_t* lprev1, int16_t* lprev2, int16_t* rprev1, int16_t* rprev2,
                       const uint8_t* in, int16_t* left, int16_t* right) {
  int32_t l1 = *lprev1, l2 = *lprev2, r1 = *rprev1, r2 = *rprev2;
  for (int32_t f = qvxa_frames(count); f > 0; --f) {
    const int lfilter = in[0] >> 4, rfilter = in[0] & 15;
    const int lshift = in[1] >> 4, rshift = in[1] & 15;
    const int32_t lk1 = kK1[lfilter], lk2 = kK2[lfilter];
    const int32_t rk1 = kK1[rfilter], rk2 = kK2[rfilter];
    for (int k = 2; k < QVXA_STEREOFRAMEBYTES; ++k) {
      const uint32_t b = in[k];
      const int32_t yl = clamp16((residual(b >> 4, lshift) + lk1 * l1 + lk2 * l2 + 128) >> 8);
      const int32_t yr = clamp16((residual(b & 15, rshift) + rk1 * r1 + rk2 * r2 + 128) >> 8);
      *left++ = static_cast<int16_t>(yl);
      *right++ = static_cast<int16_t>(yr);
      l2 = l1;
      l1 = yl;
      r2 = r1;
      r1 = yr;
    }
    in += QVXA_STEREOFRAMEBYTES;
  }
  *lprev1 = static_cast<int16_t>(l1);
  *lprev2 = static_cast<int16_t>(l2);
  *rprev1 = static_cast<int16_t>(r1);
  *rprev2 = static_cast<int16_t>(r2);
  return 1;
}
