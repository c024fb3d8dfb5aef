// The LZ77 compressor followed by the decoder: every input must come back unchanged, and the
// literal-only stream of its first multiple-of-4 bytes too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/cli/console/console.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (console_init(), true);
  (void)ready;
  stream_reset_expanded();  // the budget is one command's, and each input is one
  std::vector<std::uint8_t> stream;
  lz77_compress(data, static_cast<std::int64_t>(size), stream, false);
  std::vector<std::uint8_t> out;
  if (stream_decode(stream, out) != DecodeStatus::kOk) std::abort();
  if (out.size() != size || (size > 0 && !std::equal(out.begin(), out.end(), data))) std::abort();

  const std::size_t whole = size & ~std::size_t{3};
  stream.clear();
  literal_wrap(data, static_cast<std::int64_t>(whole), stream);
  if (stream.size() != whole + (whole + 63) / 64 + 6) std::abort();
  if (stream_decode(stream, out) != DecodeStatus::kOk || out.size() != whole) std::abort();
  if (whole > 0 && !std::equal(out.begin(), out.end(), data)) std::abort();
  return 0;
}
