// The decoder of the LZ77 command stream (type 10) on arbitrary data.
#include "fuzz/fuzz_braxel_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzz_braxel_decode(kStreamLz77, data, size);
}
