// Feeds arbitrary bytes to the QV-XA mono and stereo decoders, whole and split in two calls,
// and checks that both ways give the same samples.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "quillon/codecs/qvxa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int split = data[0];
  ++data;
  --size;

  const int32_t monoframes = static_cast<int32_t>(size / QVXA_FRAMEBYTES);
  if (monoframes > 0) {
    std::vector<int16_t> whole(monoframes * 28), parts(monoframes * 28);
    int16_t a1 = 0, a2 = 0, b1 = 0, b2 = 0;
    qvxa_decode_mono(monoframes * 28, &a1, &a2, data, whole.data());
    const int32_t first = split % (monoframes + 1);
    qvxa_decode_mono(first * 28, &b1, &b2, data, parts.data());
    qvxa_decode_mono((monoframes - first) * 28, &b1, &b2, data + first * QVXA_FRAMEBYTES,
                     parts.data() + first * 28);
    if (whole != parts || a1 != b1 || a2 != b2) std::abort();
  }

  const int32_t stereoframes = static_cast<int32_t>(size / QVXA_STEREOFRAMEBYTES);
  if (stereoframes > 0) {
    std::vector<int16_t> l(stereoframes * 28), r(stereoframes * 28);
    int16_t h[4] = {};
    // A count that is not a multiple of 28 still decodes whole frames.
    qvxa_decode_stereo(stereoframes * 28 - (split % 28), &h[0], &h[1], &h[2], &h[3], data, l.data(),
                       r.data());
  }
  return 0;
}
