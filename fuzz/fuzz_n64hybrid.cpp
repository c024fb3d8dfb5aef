// The N64/AIFF hybrid reader on arbitrary files: its chunk walk, and each NATb chunk through the
// AIFF module.
#include "fuzz/fuzz_console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int format = fuzz_formatnamed("n64hybrid");
  fuzz_elements(data, size, format, 1);
  return 0;
}
