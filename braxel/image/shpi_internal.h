// Helpers shared by the SHPI pack files: little-endian fields, error texts, and the whole bytes
// of an entry (decompressed when the entry is stored as a compressed stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "braxel/cli/console/console.h"
#include "braxel/image/shpi.h"

namespace shpi {

inline std::uint16_t le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
inline void put_le16(std::uint8_t* p, unsigned v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_le32(std::uint8_t* p, std::uint32_t v) {
  put_le16(p, v & 0xFFFF);
  put_le16(p + 2, v >> 16);
}

ShpiStatus fail(ShpiError* error, ShpiStatus status, const char* format, ...) BRAXEL_PRINTF(3, 4);
void warn(ShpiError* error, const char* format, ...) BRAXEL_PRINTF(2, 3);

// The readable bytes of an entry: the stored bytes, or their decompressed copy.
struct EntryBytes {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::vector<std::uint8_t> owned;
};

// Fills `bytes` from the stored bytes of an entry; gives false (with a message) when the entry is
// a compressed stream that does not decode.
bool entry_bytes(const std::uint8_t* stored, std::size_t size, EntryBytes* bytes, ShpiError* error);

}  // namespace shpi
