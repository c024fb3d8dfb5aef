// The five SND bank readers on arbitrary files: identify, open, then info and read of the first
// elements.
#include "fuzz/fuzz_console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int formats[] = {fuzz_formatnamed("pcbank"), fuzz_formatnamed("psxbank"),
                                fuzz_formatnamed("n64bank"), fuzz_formatnamed("macbank"),
                                fuzz_formatnamed("ps2bank")};
  for (const int format : formats) fuzz_elements(data, size, format, 8);
  return 0;
}
