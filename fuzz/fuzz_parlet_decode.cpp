// Feeds arbitrary bytes to the Parlet decoder as one channel's bit stream, whole and split into two
// pieces at a point the first byte chooses, and checks that both ways give the same finite samples.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "quillon/codecs/parlet.h"

namespace {

struct Pieces {
  const uint8_t* second;
  size_t size;
  bool given;
};

int nextpiece(void* context, const uint8_t** p, const uint8_t** end) {
  auto* pieces = static_cast<Pieces*>(context);
  if (pieces->given) return 0;
  pieces->given = true;
  *p = pieces->second;
  *end = pieces->second + pieces->size;
  return 1;
}

// Decodes up to `frames` frames; stops at the first frame that needed bits past the data.
std::vector<float> decode(PARLET_BITREADER* r, int frames) {
  static PARLET_SYNTH s;
  parlet_reset(&s, parlet_read_header(r));
  std::vector<float> out;
  float frame[PARLET_FRAME];
  for (int f = 0; f < frames && !parlet_bits_overrun(r); ++f) {
    parlet_decode_frame(&s, r, frame);
    for (float v : frame) {
      if (!std::isfinite(v)) std::abort();
    }
    out.insert(out.end(), frame, frame + PARLET_FRAME);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t split = data[0] % size;
  ++data;
  --size;
  // Frames with short codes take about 20 bytes; cap the work on long inputs.
  const int frames = static_cast<int>(std::min<size_t>(size / 16 + 1, 16));

  PARLET_BITREADER whole;
  parlet_bits_start(&whole, data, size);
  const std::vector<float> a = decode(&whole, frames);

  Pieces pieces{data + std::min(split, size), size - std::min(split, size), false};
  PARLET_BITREADER parts{};
  parts.p = data;
  parts.end = data + std::min(split, size);
  parts.refill = nextpiece;
  parts.context = &pieces;
  parlet_bits_prime(&parts);
  const std::vector<float> b = decode(&parts, frames);
  if (a.size() != b.size() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) != 0) std::abort();
  return 0;
}
