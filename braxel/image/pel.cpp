// PEL reader: a fixed header with the size, a 256-entry palette of blue, green, red and an
// unused byte, then one byte per pixel, rows bottom-up without padding.
#include "braxel/image/pel.h"

#include <cstring>

#include "braxel/image/imageio.h"

using namespace imageio;

namespace {

constexpr std::size_t kWidthAt = 18;
constexpr std::size_t kHeightAt = 22;
constexpr std::size_t kColourCountAt = 50;
constexpr std::size_t kPaletteAt = 54;
constexpr std::size_t kPixelsAt = kPaletteAt + 256 * 4;

}  // namespace

ImageStatus pel_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error) {
  if (size < kPixelsAt) return fail(error, ImageStatus::kCorrupt, "truncated PEL header");
  ByteReader in(data, size);
  in.seek(kWidthAt);
  const std::size_t w = in.le16();
  in.seek(kHeightAt);
  const std::size_t h = in.le16();
  const int count = data[kColourCountAt] == 0 ? 256 : data[kColourCountAt];
  const std::size_t pixels = check_dimensions(w, h, error, "PEL");
  if (pixels == 0) return w == 0 || h == 0 ? ImageStatus::kUnsupported : ImageStatus::kCorrupt;
  if (size - kPixelsAt < pixels) return fail(error, ImageStatus::kCorrupt, "PEL pixel data truncated");
  reset_palette(picture);
  for (int i = 0; i < count; ++i) {
    const std::uint8_t* e = data + kPaletteAt + i * 4;
    picture->palette[i][0] = e[2];
    picture->palette[i][1] = e[1];
    picture->palette[i][2] = e[0];
  }
  allocate_indexed(picture, static_cast<int>(w), static_cast<int>(h));
  for (std::size_t y = 0; y < h; ++y)
    std::memcpy(picture->index + y * w, data + kPixelsAt + (h - 1 - y) * w, w);
  set_description(picture, "PEL");
  return ImageStatus::kOk;
}
