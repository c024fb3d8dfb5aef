// The PNG reader of braxel on arbitrary bytes, then finishing of what it decodes.
#include "braxel/image/imagefuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz_image_reader(png_read, data, size);
}
