// The LZ77 compressor against the plain transcription of its algorithm: the stream is fixed by the
// algorithm, so every input must give exactly the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/archive/lz77_reference.h"
#include "braxel/cli/console/console.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (console_init(), true);
  (void)ready;
  std::vector<std::uint8_t> stream;
  lz77_compress(data, static_cast<std::int64_t>(size), stream, false);
  if (stream != lz77_reference_compress(std::vector<std::uint8_t>(data, data + size))) std::abort();
  return 0;
}
