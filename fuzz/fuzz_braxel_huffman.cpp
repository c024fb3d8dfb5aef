// The decoder of the Huffman variant (type 30) on arbitrary data.
#include "fuzz/fuzz_braxel_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzz_braxel_decode(kStreamHuffman, data, size);
}
