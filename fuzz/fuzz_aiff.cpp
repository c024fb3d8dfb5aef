// The AIFF/AIFC reader on arbitrary files: identify, then info and read of element 0.
#include "fuzz/memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_format(data, size, 0);
  return 0;
}
