// The Ogg Vorbis module on arbitrary files: identify, then info and read of element 0. Then the
// input is read from memory by two decoders split at a point the input picks, and by one: the
// two reads must agree, in their result and in every sample.
#include <vector>

#include "fuzz/memfile.h"
#include "quillon/codecs/oggvorbis.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_format(data, size, 22);
  if (size > (1 << 24)) return 0;
  // An exact-size copy, so that any read past the end is caught.
  const std::vector<uint8_t> buf(data, data + size);
  const auto bytes = static_cast<int32_t>(size);
  OGGVORBIS_SPLIT split;
  const int64_t at = 1 + static_cast<int64_t>(size % 31) * 256;
  if (oggvorbis_plan_split(buf.data(), bytes, at, &split) != 1 || split.sample > (1 << 20)) return 0;
  const auto count = static_cast<int32_t>(split.sample + split.expect);
  std::vector<int16_t> one[2], two[2];
  int results[2];
  for (int k = 0; k < 2; ++k) {
    std::vector<int16_t>* out = k == 0 ? one : two;
    out[0].assign(static_cast<size_t>(count), 0);
    out[1].assign(static_cast<size_t>(count), 0);
    int16_t* buffers[2] = {out[0].data(), out[1].data()};
    const char* message = nullptr;
    results[k] = oggvorbis_decode_memory(buf.data(), bytes, k == 0 ? nullptr : &split, 0, count, 2, buffers,
                                         nullptr, &message);
  }
  if ((results[0] > 0) != (results[1] > 0) || (results[0] > 0 && (one[0] != two[0] || one[1] != two[1])))
    __builtin_trap();
  return 0;
}
