// The VAG file reader on arbitrary files, and the VAG decoder and loop finder on the same bytes
// taken as frames: whole and in two calls, which must agree.
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_console.h"
#include "quillon/codecs/vag.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int format = fuzz_formatnamed("vag");
  fuzz_elements(data, size, format, 1);
  const auto frames = static_cast<int32_t>(size / VAG_FRAMEBYTES);
  if (frames == 0) return 0;
  std::vector<int16_t> whole(static_cast<size_t>(frames) * 28), parts(whole.size());
  int16_t a1 = 0, a2 = 0, b1 = 0, b2 = 0;
  vag_decode(data, frames, whole.data(), &a1, &a2);
  const int32_t first = data[0] % (frames + 1);
  vag_decode(data, first, parts.data(), &b1, &b2);
  vag_decode(data + first * VAG_FRAMEBYTES, frames - first, parts.data() + first * 28, &b1, &b2);
  if (whole != parts || a1 != b1 || a2 != b2) std::abort();
  int32_t ls, le;
  vag_findloop(data, frames, &ls, &le);
  if (ls >= frames * 28 || le > frames * 28) std::abort();
  return 0;
}
