// Directory readers of the archive layouts: each checks its directory against the bytes the
// container holds and fills entry records (name, offset, size, kind).
#pragma once

#include <cstdint>
#include <vector>

#include "braxel/archive/pack.h"

// The container being read, its readable size and the name its messages show.
struct PackSource {
  PackEntry* container;
  std::int64_t readable;
  const char* shown;
};

inline std::uint32_t read_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The MAS size rule over the first 8 bytes and the readable size.
bool mas_rule(const std::uint8_t* head, std::int64_t size);

// Each gives true and appends the entries, or false after printing what is wrong.
bool read_bigf(const PackSource& src, std::vector<PackEntry>& out);
bool read_c0fb(const PackSource& src, std::vector<PackEntry>& out);
bool read_apuk(const PackSource& src, std::vector<PackEntry>& out);
bool read_mas(const PackSource& src, std::vector<PackEntry>& out);
bool read_fst(const PackSource& src, std::vector<PackEntry>& out);
bool read_qpp(const PackSource& src, std::vector<PackEntry>& out);
