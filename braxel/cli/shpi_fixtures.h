// Builders of small image packs for the end-to-end tests: image blocks, palette blocks and SHPI
// packs laid out as the game stores them.
#pragma once

#include <array>
#include <vector>

#include "braxel/archive/pack_fixtures.h"

namespace shpi_fixtures {

using pack_fixtures::Bytes;
using pack_fixtures::Files;
using pack_fixtures::put_le;
using pack_fixtures::put_name;
using pack_fixtures::round4;
using Colour = std::array<std::uint8_t, 3>;

// An image block: header, pixels padded to 4, then the attachment (if any).
inline Bytes image_block(int code, int width, int height, const Bytes& pixels, const Bytes& attachment = {}) {
  Bytes b;
  b.push_back(static_cast<std::uint8_t>(code));
  put_le(b, attachment.empty() ? 0 : 16 + round4(pixels.size()), 3);
  put_le(b, static_cast<std::uint32_t>(width), 2);
  put_le(b, static_cast<std::uint32_t>(height), 2);
  b.resize(16, 0);
  b.insert(b.end(), pixels.begin(), pixels.end());
  if (!attachment.empty()) {
    b.resize(round4(b.size()), 0);
    b.insert(b.end(), attachment.begin(), attachment.end());
  }
  return b;
}

// A palette block of code 24 (8-bit red, green, blue) defining colours 0 .. n-1.
inline Bytes palette_block(const std::vector<Colour>& colours) {
  Bytes b{0x24};
  put_le(b, 0, 3);
  put_le(b, static_cast<std::uint32_t>(colours.size()), 2);
  put_le(b, 1, 2);
  b.resize(16, 0);
  for (const Colour& c : colours) b.insert(b.end(), c.begin(), c.end());
  return b;
}

// An image pack; `gap` bytes between the directory and the first block form the "----" area.
inline Bytes shpi_pack(const char* identifier, const Files& entries, std::size_t gap = 0) {
  Bytes b = pack_fixtures::text("SHPI");
  const std::size_t directory = 16 + 8 * entries.size();
  std::size_t total = directory + gap;
  for (std::size_t i = 0; i < entries.size(); ++i)
    total += i + 1 < entries.size() ? round4(entries[i].second.size()) : entries[i].second.size();
  put_le(b, total, 4);
  put_le(b, entries.size(), 4);
  put_name(b, identifier, 4);
  std::size_t at = directory + gap;
  for (const auto& e : entries) {
    put_name(b, e.first, 4);
    put_le(b, at, 4);
    at += round4(e.second.size());
  }
  for (std::size_t i = 0; i < gap; ++i) b.push_back(static_cast<std::uint8_t>(0xA0 + i));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    b.insert(b.end(), entries[i].second.begin(), entries[i].second.end());
    if (i + 1 < entries.size()) b.resize(round4(b.size()), 0);
  }
  return b;
}

}  // namespace shpi_fixtures
