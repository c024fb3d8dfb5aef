// Feeds arbitrary bytes to the DVI decoder, mono and stereo, whole and split in two calls, and
// checks that both ways give the same samples and that the state stays in its ranges.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "quillon/codecs/dvi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int split = data[0];
  ++data;
  --size;
  for (int channels : {1, 2}) {
    const int32_t frames = static_cast<int32_t>(channels == 1 ? size * 2 : size);
    std::vector<int16_t> a0(frames), a1(frames), b0(frames), b1(frames);
    int16_t* whole[2] = {a0.data(), a1.data()};
    DVI_STATE s[2] = {}, t[2] = {};
    dvi_decode(data, frames, channels, s, whole);
    // Mono pieces start on a byte.
    const int32_t first = (split % (frames + 1)) / 2 * 2;
    int16_t* head[2] = {b0.data(), b1.data()};
    int16_t* tail[2] = {b0.data() + first, b1.data() + first};
    dvi_decode(data, first, channels, t, head);
    dvi_decode(data + dvi_bytes(first, channels), frames - first, channels, t, tail);
    for (int c = 0; c < channels; ++c)
      if (s[c].index < 0 || s[c].index > 88 || s[c].index != t[c].index || s[c].predictor != t[c].predictor)
        std::abort();
    if (a0 != b0 || (channels == 2 && a1 != b1)) std::abort();
  }
  return 0;
}
