// VAG frame encoder (the XA core with filters 0..4) and the 16.16 fixed-point decoder.
#include "quillon/codecs/vag.h"

#include <cstring>

namespace {

// Weights of the previous sample and of the one before it, 16.16 fixed point. Filter indexes
// 5..15 never come from the encoder; they decode with zero weights rather than past the table.
constexpr int64_t kC1[16] = {0, 61440, 117760, 100352, 124928};
constexpr int64_t kC2[16] = {0, 0, -53248, -56320, -61440};

uint8_t flagsof(int32_t framestart, const VAG_FORM& form) {
  if (form.stream) return VAG_FLAG_REPEAT;
  if (!vag_looped(form)) return VAG_FLAG_PLAIN;
  if (form.loopstart >= framestart && form.loopstart < framestart + 28)
    return VAG_FLAG_REPEAT | VAG_FLAG_LOOPSTART;
  if (framestart >= form.loopend - 28) return VAG_FLAG_LOOPEND;
  return VAG_FLAG_REPEAT;
}

}  // namespace

int64_t vag_encodedbytes(int32_t count, const VAG_FORM& form) {
  const int64_t frames = (int64_t{count < 0 ? 0 : count} + 27) / 28;
  if (form.stream) return frames * VAG_FRAMEBYTES;
  return (frames + (vag_looped(form) ? 1 : 2)) * VAG_FRAMEBYTES;
}

int32_t vag_encode(const int16_t* in, int32_t count, const VAG_FORM& form, XA_ENCSTATE* state, uint8_t* out) {
  uint8_t* p = out;
  if (!form.stream) {
    std::memset(p, 0, VAG_FRAMEBYTES);
    p += VAG_FRAMEBYTES;
  }
  int16_t last[XA_FRAMESAMPLES];
  for (int32_t at = 0; at < count; at += XA_FRAMESAMPLES) {
    const int16_t* src = in + at;
    if (count - at < XA_FRAMESAMPLES) {
      std::memset(last, 0, sizeof last);
      std::memcpy(last, src, static_cast<size_t>(count - at) * sizeof(int16_t));
      src = last;
    }
    xa_encode_frame(src, p, state, XA_VARIANT_VAG, XA_FILTERS_VAG);
    p[1] = flagsof(at, form);
    p += VAG_FRAMEBYTES;
  }
  if (!form.stream && !vag_looped(form)) {
    std::memset(p, 0, VAG_FRAMEBYTES);
    p[1] = VAG_FLAG_END;
    p += VAG_FRAMEBYTES;
  }
  return static_cast<int32_t>(p - out);
}

void vag_decode(const uint8_t* in, int32_t frames, int16_t* out, int16_t* prev1, int16_t* prev2) {
  int64_t p1 = *prev1, p2 = *prev2;
  for (int32_t f = 0; f < frames; ++f, in += VAG_FRAMEBYTES) {
    const int filter = in[0] >> 4, shift = in[0] & 15;
    const int64_t c1 = kC1[filter], c2 = kC2[filter];
    for (int j = 0; j < XA_FRAMESAMPLES; ++j) {
      const uint8_t b = in[2 + j / 2];
      const int32_t nibble =
          static_cast<int32_t>(static_cast<uint32_t>((j & 1) ? b >> 4 : b & 15) << 28) >> 28;
      // Shifts above 12 move the residual right; the encoder never writes them.
      const int64_t residual =
          shift <= 12 ? int64_t{nibble} * (int64_t{1} << (12 - shift)) : int64_t{nibble} >> (shift - 12);
      const int64_t y = (p1 * c1 + residual * 65536 + p2 * c2) >> 16;
      // Only the low 16 bits are kept, as the hardware does.
      const auto s = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(y) & 0xFFFF));
      *out++ = s;
      p2 = p1;
      p1 = s;
    }
  }
  *prev1 = static_cast<int16_t>(p1);
  *prev2 = static_cast<int16_t>(p2);
}

void vag_findloop(const uint8_t* in, int32_t frames, int32_t* loopstart, int32_t* loopend) {
  *loopstart = -1;
  *loopend = -1;
  for (int32_t f = 0; f < frames; ++f) {
    const uint8_t flags = in[f * VAG_FRAMEBYTES + 1];
    if (flags == (VAG_FLAG_REPEAT | VAG_FLAG_LOOPSTART)) *loopstart = f * XA_FRAMESAMPLES;
    if (flags == VAG_FLAG_LOOPEND) *loopend = (f + 1) * XA_FRAMESAMPLES;
  }
}

bool vag_iszeroframe(const uint8_t* frame) {
  for (int i = 0; i < VAG_FRAMEBYTES; ++i)
    if (frame[i] != 0) return false;
  return true;
}
