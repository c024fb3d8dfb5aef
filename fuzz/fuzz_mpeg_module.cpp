// The MPEG format module on whole files: identify, then info and read of element 0, which walk the
// frames and decode them through the sample import engine.
#include "fuzz/memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_format(data, size, AUREX_FORMAT_MPEG);
  return 0;
}
