// Polyphase synthesis filter bank of the MPEG audio decoder: the shared tables (computed once from
// the window's base half and the cosine definition) and the plain floating-point path.
#include <cmath>
#include <numbers>

#include "quillon/codecs/mpegdec_internal.h"
#include "quillon/codecs/mpegwindow.h"

namespace mpegdec {

namespace {

SynthTables make_tables() {
  SynthTables t{};
  for (int k = 0; k < 16; ++k) {
    for (int i = 0; i < 16; ++i) {
      t.even[k][i] = static_cast<float>(std::cos(2 * i * (2 * k + 1) * std::numbers::pi / 64));
      t.odd[k][i] = static_cast<float>(std::cos((2 * i + 1) * (2 * k + 1) * std::numbers::pi / 64));
    }
  }
  // The full window D[0..511] is symmetric about 256 in magnitude and changes sign every 64 taps;
  // output samples are the window sums times 32768, folded in here.
  for (int i = 0; i < 512; ++i) {
    int base = i <= 256 ? mpeg_window_prototype[i] : mpeg_window_prototype[512 - i];
    double d = base / 65536.0 * (((i / 64) & 1) ? -1.0 : 1.0);
    t.window[i / 32][i % 32] = static_cast<float>(d * 32768.0);
  }
  return t;
}

}  // namespace

const SynthTables& synth_tables() {
  static const SynthTables tables = make_tables();
  return tables;
}

void synth_plain(SynthChannel& ch, const float* in, int blocks, int16_t* out, int stride) {
  const SynthTables& t = synth_tables();
  for (int b = 0; b < blocks; ++b) {
    const float* s = in + 32 * b;
    float xe[16] = {}, xo[16] = {};
    for (int k = 0; k < 16; ++k) {
      const float a = s[k] + s[31 - k], b = s[k] - s[31 - k];
      for (int i = 0; i < 16; ++i) {
        xe[i] += t.even[k][i] * a;
        xo[i] += t.odd[k][i] * b;
      }
    }
    ch.pos = (ch.pos + 15) & 15;
    synth_expand(xe, xo, ch.v[ch.pos]);
    float acc[32] = {};
    for (int age = 0; age < 16; ++age) {
      const float* v = ch.v[(ch.pos + age) & 15] + (age & 1) * 32;
      const float* w = t.window[age];
      for (int j = 0; j < 32; ++j) acc[j] += v[j] * w[j];
    }
    int16_t* o = out + static_cast<ptrdiff_t>(b) * 32 * stride;
    for (int j = 0; j < 32; ++j) o[j * stride] = clip16(acc[j]);
  }
}

SynthFn synth_function(MpegSynthPath path) {
#if defined(__x86_64__) || defined(__i386__)
  if (path == MpegSynthPath::kAvx2 && cpu_has_avx2()) return synth_avx2;
  if (path == MpegSynthPath::kSse2 && cpu_has_sse2()) return synth_sse2;
#else
  (void)path;
#endif
  return synth_plain;
}

}  // namespace mpegdec

MpegSynthPath mpegdec_default_path() {
  // Chosen once per process.
  static const MpegSynthPath path = mpegdec_path_supported(MpegSynthPath::kAvx2)   ? MpegSynthPath::kAvx2
                                    : mpegdec_path_supported(MpegSynthPath::kSse2) ? MpegSynthPath::kSse2
                                                                                   : MpegSynthPath::kPlain;
  return path;
}

bool mpegdec_path_supported(MpegSynthPath path) {
  switch (path) {
    case MpegSynthPath::kPlain:
      return true;
#if defined(__x86_64__) || defined(__i386__)
    case MpegSynthPath::kSse2:
      return mpegdec::cpu_has_sse2();
    case MpegSynthPath::kAvx2:
      return mpegdec::cpu_has_avx2();
#endif
    default:
      return false;
  }
}
