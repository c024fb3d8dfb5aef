// CD-XA sector winding and the integer unit decoder.
#include "quillon/codecs/cdxa.h"

#include <cstring>

namespace {

constexpr int kUnitBytes = 16;
constexpr int kGroupUnits = 8;
constexpr int kGroupBytes = 128;
constexpr int kGroups = CDXA_UNITS / kGroupUnits;
constexpr int kSubheaderBytes = 8;

// Decoder weights of the XA family, scale 1/256. Filter indexes 4..15 cannot be written by the
// encoder; they decode with zero weights instead of reading past the table.
constexpr int32_t kK1[16] = {0, 240, 460, 392};
constexpr int32_t kK2[16] = {0, 0, -208, -220};

// Byte offset of unit u's header byte inside its sound group (the copy in bytes 4..7 or 12..15
// repeats it).
int headerat(int u) {
  return u < 4 ? u : 8 + (u - 4);
}

void windunits(const uint8_t units[CDXA_UNITS][kUnitBytes], uint8_t* out) {
  for (int g = 0; g < kGroups; ++g) {
    uint8_t* group = out + kSubheaderBytes + g * kGroupBytes;
    for (int u = 0; u < kGroupUnits; ++u) {
      const uint8_t* unit = units[g * kGroupUnits + u];
      group[headerat(u)] = unit[0];
      group[headerat(u) + 4] = unit[0];
      for (int m = 0; m < XA_FRAMESAMPLES; ++m) {
        const uint8_t b = unit[2 + m / 2];
        const uint8_t nibble = (m & 1) ? static_cast<uint8_t>(b >> 4) : static_cast<uint8_t>(b & 15);
        group[16 + 4 * m + u / 2] |= (u & 1) ? static_cast<uint8_t>(nibble << 4) : nibble;
      }
    }
  }
}

int16_t clamp16(int32_t y) {
  return static_cast<int16_t>(y > 32767 ? 32767 : (y < -32768 ? -32768 : y));
}

// Unit u of a sound group: 28 samples from its header and its nibble column.
void decodeunit(const uint8_t* group, int u, int16_t* history, int16_t* out) {
  const uint8_t header = group[headerat(u)];
  const int shift = header & 15;
  const int32_t k1 = kK1[header >> 4], k2 = kK2[header >> 4];
  int32_t p1 = history[0], p2 = history[1];
  for (int m = 0; m < XA_FRAMESAMPLES; ++m) {
    const uint8_t b = group[16 + 4 * m + u / 2];
    const uint32_t nibble = (u & 1) ? b >> 4 : b & 15;
    const int32_t y = clamp16(((static_cast<int32_t>(nibble << 28) >> (shift + 8)) + k1 * p1 + k2 * p2) >> 8);
    out[m] = static_cast<int16_t>(y);
    p2 = p1;
    p1 = y;
  }
  history[0] = static_cast<int16_t>(p1);
  history[1] = static_cast<int16_t>(p2);
}

}  // namespace

void cdxa_encodesector(const int16_t* left, const int16_t* right, int32_t count, uint8_t coding,
                       XA_ENCSTATE* leftstate, XA_ENCSTATE* rightstate, uint8_t out[CDXA_SECTORBYTES]) {
  const bool stereo = right != nullptr;
  const int32_t per = cdxa_sectorsamples(stereo ? 2 : 1);
  if (count > per) count = per;
  if (count < 0) count = 0;
  uint8_t units[CDXA_UNITS][kUnitBytes];
  int16_t frame[XA_FRAMESAMPLES];
  const int framesperchannel = stereo ? CDXA_UNITS / 2 : CDXA_UNITS;
  for (int f = 0; f < framesperchannel; ++f) {
    for (int c = 0; c < (stereo ? 2 : 1); ++c) {
      const int16_t* src = c == 0 ? left : right;
      const int32_t at = f * XA_FRAMESAMPLES;
      const int32_t n = count - at < 0 ? 0 : (count - at > XA_FRAMESAMPLES ? XA_FRAMESAMPLES : count - at);
      std::memset(frame, 0, sizeof frame);
      if (n > 0) std::memcpy(frame, src + at, static_cast<size_t>(n) * sizeof(int16_t));
      const int u = stereo ? 2 * f + c : f;
      xa_encode_frame(frame, units[u], c == 0 ? leftstate : rightstate, XA_VARIANT_CDXA, XA_FILTERS_QVXA);
    }
  }
  std::memset(out, 0, CDXA_SECTORBYTES);
  const uint8_t sub[4] = {CDXA_FILENUMBER, CDXA_CHANNEL, CDXA_SUBMODE, coding};
  std::memcpy(out, sub, 4);
  std::memcpy(out + 4, sub, 4);
  windunits(units, out);
}

void cdxa_decodesector(const uint8_t in[CDXA_SECTORBYTES], bool stereo, int16_t history[4], int16_t* left,
                       int16_t* right) {
  for (int g = 0; g < kGroups; ++g) {
    const uint8_t* group = in + kSubheaderBytes + g * kGroupBytes;
    for (int u = 0; u < kGroupUnits; ++u) {
      const int unit = g * kGroupUnits + u;
      if (stereo) {
        int16_t* dst = (u & 1) ? right : left;
        decodeunit(group, u, history + 2 * (u & 1), dst + (unit / 2) * XA_FRAMESAMPLES);
      } else {
        decodeunit(group, u, history, left + unit * XA_FRAMESAMPLES);
      }
    }
  }
}
