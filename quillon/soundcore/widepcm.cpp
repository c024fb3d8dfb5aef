#include "quillon/soundcore/widepcm.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"

namespace {

int16_t clip16(int64_t v) {
  return static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767));
}

int16_t fromfloat(double x) {
  if (std::isnan(x)) return 0;
  return clip16(std::lrint(std::clamp(x, -1.0, 1.0) * 32768.0));
}

uint64_t word(const uint8_t* p, int width, bool bigendian) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= uint64_t{p[bigendian ? width - 1 - i : i]} << (8 * i);
  return v;
}

}  // namespace

int16_t widepcm_sample(const uint8_t* p, const WIDEPCM_LAYOUT& l) {
  const uint64_t v = word(p, l.width, l.bigendian);
  if (l.isfloat) {
    if (l.width == 4) {
      float x;
      const auto u = static_cast<uint32_t>(v);
      std::memcpy(&x, &u, 4);
      return fromfloat(x);
    }
    double x;
    std::memcpy(&x, &v, 8);
    return fromfloat(x);
  }
  if (l.width == 1 && l.unsigned8) return static_cast<int16_t>((static_cast<int32_t>(v) - 128) * 256);
  // Sign-extend, then round the bits below the top sixteen away.
  const int bits = 8 * l.width;
  const int64_t s = static_cast<int64_t>(v << (64 - bits)) >> (64 - bits);
  if (bits <= 16) return static_cast<int16_t>(s << (16 - bits));
  const int drop = bits - 16;
  return clip16((s + (int64_t{1} << (drop - 1))) >> drop);
}

int widepcm_read(gfile* file, const WIDEPCM_LAYOUT& l, STIMBRE& t) {
  constexpr int32_t kRunBytes = 16384;
  uint8_t buf[kRunBytes];
  const int32_t framebytes = l.width * l.channels;
  if (framebytes <= 0 || framebytes > kRunBytes || t.numchannels > l.channels) {
    AUREX_seterror("Couldn't read samples from file.");
    return 0;
  }
  const int32_t run = kRunBytes / framebytes;
  for (int32_t i = 0; i < t.numsamples;) {
    const int32_t n = std::min(run, t.numsamples - i);
    if (gread(file, buf, n * framebytes) != n * framebytes) {
      AUREX_seterror("Couldn't read samples from file.");
      return 0;
    }
    for (int32_t k = 0; k < n; ++k) {
      const uint8_t* frame = buf + k * framebytes;
      for (int c = 0; c < t.numchannels; ++c) t.samples[c][i + k] = widepcm_sample(frame + c * l.width, l);
    }
    i += n;
    AUREX_progress(static_cast<int>(int64_t{i} * 100 / t.numsamples));
  }
  return 1;
}
