// PCX reader and writer for 8-bit single-plane pictures with a trailing 256-colour palette.
#include "braxel/image/pcx.h"

#include <cstring>

#include "braxel/image/imageio.h"

using namespace imageio;

namespace {

constexpr std::size_t kHeaderSize = 128;
constexpr std::uint8_t kManufacturer = 0x0A;
constexpr std::uint8_t kVersion = 5;
constexpr std::uint8_t kEncodingRle = 1;
constexpr std::uint8_t kPaletteMarker = 0x0C;
constexpr std::size_t kPaletteSize = 1 + 768;  // marker and 256 colours
constexpr std::uint8_t kRunFlag = 0xC0;        // a byte with both top bits set starts a run
constexpr int kMaxRun = 63;

void put16(std::uint8_t* p, unsigned v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

}  // namespace

ImageStatus pcx_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error) {
  ByteReader in(data, size);
  in.skip(2);
  const std::uint8_t encoding = in.u8();
  const std::uint8_t bits = in.u8();
  const std::uint16_t xmin = in.le16(), ymin = in.le16(), xmax = in.le16(), ymax = in.le16();
  in.seek(65);
  const std::uint8_t planes = in.u8();
  const std::uint16_t bytes_per_line = in.le16();
  if (in.overrun() || size < kHeaderSize) return fail(error, ImageStatus::kCorrupt, "truncated PCX header");
  if (bits != 8 || planes != 1 || size < kHeaderSize + kPaletteSize ||
      data[size - kPaletteSize] != kPaletteMarker) {
    error->pcx_unsupported = true;
    return fail(error, ImageStatus::kUnsupported, "PCX of %u bits in %u planes without a 256-colour palette",
                bits, planes);
  }
  if (xmax < xmin || ymax < ymin) return fail(error, ImageStatus::kCorrupt, "PCX window is empty");
  const std::size_t w = std::size_t{xmax} - xmin + 1u, h = std::size_t{ymax} - ymin + 1u;
  if (check_dimensions(w, h, error, "PCX") == 0) return ImageStatus::kCorrupt;
  // Lines may carry padding beyond the picture width.
  const std::size_t line = bytes_per_line >= w ? bytes_per_line : w;
  const std::uint8_t* src = data + kHeaderSize;
  const std::size_t src_size = size - kHeaderSize - kPaletteSize;
  // A run covers at most 63 bytes of a line, so a line needs at least this many input bytes.
  const std::size_t min_line = encoding == 0 ? line : (line + kMaxRun - 1) / kMaxRun;
  if (min_line * h > src_size) return fail(error, ImageStatus::kCorrupt, "PCX pixel data truncated");

  allocate_indexed(picture, static_cast<int>(w), static_cast<int>(h));
  std::size_t pos = 0;
  for (std::size_t y = 0; y < h; ++y) {
    std::uint8_t* row = picture->index + y * w;
    std::size_t x = 0;
    while (x < line) {
      if (pos >= src_size) return fail(error, ImageStatus::kCorrupt, "PCX pixel data truncated");
      std::uint8_t value = src[pos++];
      std::size_t count = 1;
      if (encoding != 0 && (value & kRunFlag) == kRunFlag) {
        count = value & 0x3F;
        if (pos >= src_size) return fail(error, ImageStatus::kCorrupt, "PCX pixel data truncated");
        value = src[pos++];
      }
      // A run ends at the end of its line.
      for (; count > 0 && x < line; --count, ++x)
        if (x < w) row[x] = value;
    }
  }
  reset_palette(picture);
  const std::uint8_t* pal = data + size - kPaletteSize + 1;
  for (int i = 0; i < 256; ++i) {
    picture->palette[i][0] = pal[i * 3];
    picture->palette[i][1] = pal[i * 3 + 1];
    picture->palette[i][2] = pal[i * 3 + 2];
  }
  set_description(picture, "8 bit PCX");
  return ImageStatus::kOk;
}

bool pcx_encode(const ShapeImage& source, ImageBytes* out, ImageError* error) {
  ShapeImage quantized;
  const ShapeImage* picture = &source;
  if (source.index == nullptr) {
    if (!image_quantized_copy(source, &quantized)) {
      fail(error, ImageStatus::kCorrupt, "dl1quant failed");
      return false;
    }
    picture = &quantized;
  }
  const std::size_t w = static_cast<std::size_t>(picture->width),
                    h = static_cast<std::size_t>(picture->height);
  if (w == 0 || h == 0 || picture->index == nullptr) {
    shape_image_release(&quantized);
    fail(error, ImageStatus::kCorrupt, "no picture to write");
    return false;
  }
  // Lines are padded to an even number of bytes, as PCX readers expect.
  const std::size_t line = w + (w & 1);
  std::uint8_t head[kHeaderSize] = {};
  head[0] = kManufacturer;
  head[1] = kVersion;
  head[2] = kEncodingRle;
  head[3] = 8;
  put16(head + 8, static_cast<unsigned>(w - 1));
  put16(head + 10, static_cast<unsigned>(h - 1));
  put16(head + 12, 72);
  put16(head + 14, 72);
  head[65] = 1;
  put16(head + 66, static_cast<unsigned>(line));
  put16(head + 68, 1);  // colour palette
  image_bytes_append(out, head, sizeof head);

  Block row(line), coded(line * 2);
  for (std::size_t y = 0; y < h; ++y) {
    std::uint8_t* r = row.get();
    std::memcpy(r, picture->index + y * w, w);
    if (line > w) r[w] = 0;
    std::uint8_t* c = coded.get();
    std::size_t n = 0;
    for (std::size_t x = 0; x < line;) {
      const std::uint8_t v = r[x];
      std::size_t run = 1;
      while (x + run < line && run < kMaxRun && r[x + run] == v) ++run;
      if (run >= 3) {
        c[n++] = static_cast<std::uint8_t>(kRunFlag | run);
        c[n++] = v;
        x += run;
      } else {
        if (v >= kRunFlag) c[n++] = kRunFlag | 1;
        c[n++] = v;
        ++x;
      }
    }
    image_bytes_append(out, c, n);
  }
  std::uint8_t pal[kPaletteSize];
  pal[0] = kPaletteMarker;
  for (int i = 0; i < 256; ++i)
    for (int k = 0; k < 3; ++k) pal[1 + i * 3 + k] = picture->palette[i][k];
  image_bytes_append(out, pal, sizeof pal);
  shape_image_release(&quantized);
  return true;
}
