// The SHPI pack layer of braxel on arbitrary bytes: scan the pack (or ORIP record), decode every
// entry with the palette search, encode decoded pictures back into their own block format and
// decode that again; palette blocks go through the palette decoder and encoder.
#include <cstring>
#include <vector>

#include "braxel/archive/compress.h"
#include "braxel/cli/console/console.h"
#include "braxel/image/shpi.h"

namespace {

// Decoding every entry of a large directory repeats the same work; a few show every path.
constexpr std::size_t kMaxDecoded = 32;

void reencode(const ShapeImage& picture, const std::uint8_t* block) {
  ImageBytes pixels;
  ShpiError error;
  if (shpi_encode_pixels(block[0], picture, &pixels, &error) != ShpiStatus::kOk) return;
  ImageBytes rebuilt;
  shpi_build_block(block, block[0], picture.width, picture.height, pixels.data, pixels.size, nullptr, 0,
                   &rebuilt);
  ShapeImage again;
  shpi_decode_block(rebuilt.data, rebuilt.size, ShpiPaletteSource{}, &again, &error);
  shape_image_release(&again);
  image_bytes_release(&rebuilt);
  image_bytes_release(&pixels);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = [] {
    console_init();
    image_set_pixel_limit(std::size_t{1} << 20);
    return true;
  }();
  (void)ready;
  stream_reset_expanded();  // the budget is one command's, and each input is one
  shpi_forget_palette();
  ShpiDirectory directory;
  ShpiError error;
  if (orip_scan(data, size, &directory, &error) == ShpiStatus::kOk) return 0;

  // The bytes as a palette block, in both directions.
  std::uint8_t palette[256][4] = {};
  char description[33];
  std::uint16_t code = 0;
  shpi_decode_palette(data, size, palette, description, &code);
  std::vector<std::uint8_t> copy(data, data + size);
  shpi_encode_palette(copy.data(), copy.size(), palette);

  if (shpi_scan(data, size, &directory, &error) != ShpiStatus::kOk) return 0;
  const std::size_t count = directory.entries.size() < kMaxDecoded ? directory.entries.size() : kMaxDecoded;
  for (std::size_t i = 0; i < count; ++i) {
    ShapeImage picture;
    if (shpi_decode_entry(data, size, directory, i, &picture, &error) == ShpiStatus::kOk) {
      shpi_transparent_index(picture.index, picture.width, picture.height);
      const ShpiEntry& e = directory.entries[i];
      // A whole-entry compressed block has no plain header to encode into.
      if (e.size >= kShpiBlockHeaderSize && shpi_lookup_format(data[e.offset]) != nullptr)
        reencode(picture, data + e.offset);
    }
    shape_image_release(&picture);
  }
  return 0;
}
