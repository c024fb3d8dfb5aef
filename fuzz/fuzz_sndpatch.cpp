// The three SND patch readers on arbitrary files.
#include "fuzz/fuzz_console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int formats[] = {fuzz_formatnamed("pcpatch"), fuzz_formatnamed("psxpatch"),
                                fuzz_formatnamed("n64patch")};
  for (const int format : formats) fuzz_elements(data, size, format, 1);
  return 0;
}
