// Feeds arbitrary files to the SND stream readers (identify, info and read of every readable
// stream module) through the buffered file layer.
#include "fuzz/memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the module, so one corpus reaches every platform's rules.
  static const int kFormats[] = {9, 12, 16, 20};
  fuzz_format(data + 1, size - 1, kFormats[data[0] % 4]);
  return 0;
}
