// Shared body of the braxel decoder fuzz targets: the input is a stream of one type whose
// header the target fixes, so that every run reaches that decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/cli/console/console.h"

inline int fuzz_braxel_decode(std::uint8_t type, const std::uint8_t* data, std::size_t size) {
  static const bool ready = (console_init(), true);
  (void)ready;
  if (size < 3) return 0;
  // Declared sizes up to 128 KiB keep each run quick; the 16 MiB case is covered by the tests.
  std::vector<std::uint8_t> stream = {type, kStreamMagic, static_cast<std::uint8_t>(data[0] & 0x01), data[1],
                                      data[2]};
  stream.insert(stream.end(), data + 3, data + size);
  std::vector<std::uint8_t> out;
  const DecodeStatus status = stream_decode(stream, out);
  if (status == DecodeStatus::kNotCompressed) std::abort();  // the header was made recognisable

  // A stream decodes to exactly its declared size: one byte more is short, one byte less overruns.
  if (status == DecodeStatus::kOk) {
    const std::uint32_t declared = (std::uint32_t{stream[2]} << 16) | (stream[3] << 8) | stream[4];
    auto with_size = [&](std::uint32_t n) {
      std::vector<std::uint8_t> s = stream;
      s[2] = static_cast<std::uint8_t>(n >> 16), s[3] = static_cast<std::uint8_t>(n >> 8);
      s[4] = static_cast<std::uint8_t>(n);
      std::vector<std::uint8_t> o;
      return stream_decode(s, o);
    };
    const DecodeStatus more = with_size(declared + 1);
    if (more != DecodeStatus::kShort && more != DecodeStatus::kTooLarge) std::abort();
    if (declared > 0 && with_size(declared - 1) != DecodeStatus::kOverrun) std::abort();
  }

  // The console path: a guarded block of exactly the stream, decoded and released.
  auto* block = static_cast<std::uint8_t*>(console.allocate(stream.size()));
  std::copy(stream.begin(), stream.end(), block);
  std::int32_t length = static_cast<std::int32_t>(stream.size());
  DecodeStatus again = DecodeStatus::kOk;
  std::uint8_t* plain = stream_decompress(block, &length, 1, &again);
  if (again != status) std::abort();
  if (plain != nullptr) {
    if (static_cast<std::size_t>(length) != out.size() || !std::equal(out.begin(), out.end(), plain))
      std::abort();
    console.release(plain);
  } else {
    console.release(block);
  }
  return 0;
}
