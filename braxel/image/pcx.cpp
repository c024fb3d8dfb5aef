// PCX reader (8-bit with a trailing 256-colour palette, 24- and 32-bit in planes of 8 bits, and 2 to
// 16 colours in bit planes or nibbles with the header's palette) and writer of 8-bit pictures.
#include "braxel/image/pcx.h"

#include <algorithm>
#include <cstring>

#include "braxel/image/imageio.h"

using namespace imageio;

namespace {

constexpr std::size_t kHeaderSize = 128;
constexpr std::uint8_t kManufacturer = 0x0A;
constexpr std::uint8_t kVersion = 5;
constexpr std::uint8_t kEncodingRle = 1;
constexpr std::size_t kEgaPalette = 16;  // 16 colours of red, green, blue in the header
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
  const bool indexed8 = bits == 8 && planes == 1;
  const bool truecolour = bits == 8 && (planes == 3 || planes == 4);  // red, green, blue (, alpha)
  const bool planar = bits == 1 && planes >= 1 && planes <= 4;        // one bit of the index per plane
  const bool nibbles = bits == 4 && planes == 1;
  const bool trailing_palette =
      size >= kHeaderSize + kPaletteSize && data[size - kPaletteSize] == kPaletteMarker;
  if (!(indexed8 && trailing_palette) && !truecolour && !planar && !nibbles) {
    error->pcx_unsupported = true;
    return fail(error, ImageStatus::kUnsupported, "PCX of %u bits in %u planes%s", bits, planes,
                indexed8 ? " without a 256-colour palette" : "");
  }
  if (xmax < xmin || ymax < ymin) return fail(error, ImageStatus::kCorrupt, "PCX window is empty");
  const std::size_t w = std::size_t{xmax} - xmin + 1u, h = std::size_t{ymax} - ymin + 1u;
  if (check_dimensions(w, h, error, "PCX") == 0) return ImageStatus::kCorrupt;
  // Lines may carry padding beyond the picture width. Single-plane 8-bit files that state too
  // short a line are read with lines of the picture width, as they always were; in the other
  // kinds the planes follow each other within the line, so a short plane leaves no sensible
  // reading.
  std::size_t line = bytes_per_line;
  if (indexed8) {
    line = std::max(line, w);
  } else if (std::size_t{bytes_per_line} * 8 < w * bits) {
    return fail(error, ImageStatus::kCorrupt, "PCX planes of %u bytes do not fill a line of %zu pixels",
                bytes_per_line, w);
  }
  const std::size_t scan = line * planes;
  const std::uint8_t* src = data + kHeaderSize;
  const std::size_t src_size = size - kHeaderSize - (indexed8 ? kPaletteSize : 0);
  // A run covers at most 63 bytes of a line, so a line needs at least this many input bytes.
  const std::size_t min_scan = encoding == 0 ? scan : (scan + kMaxRun - 1) / kMaxRun;
  if (min_scan * h > src_size) return fail(error, ImageStatus::kCorrupt, "PCX pixel data truncated");

  reset_palette(picture);
  if (truecolour)
    allocate_truecolour(picture, static_cast<int>(w), static_cast<int>(h), planes == 4);
  else
    allocate_indexed(picture, static_cast<int>(w), static_cast<int>(h));
  Block buffer(scan);
  std::uint8_t* buf = buffer.get();
  std::size_t pos = 0;
  for (std::size_t y = 0; y < h; ++y) {
    std::size_t x = 0;
    while (x < scan) {
      if (pos >= src_size) return fail(error, ImageStatus::kCorrupt, "PCX pixel data truncated");
      std::uint8_t value = src[pos++];
      std::size_t count = 1;
      if (encoding != 0 && (value & kRunFlag) == kRunFlag) {
        count = value & 0x3F;
        if (pos >= src_size) return fail(error, ImageStatus::kCorrupt, "PCX pixel data truncated");
        value = src[pos++];
      }
      // A run ends at the end of its line; within the line it may cross from one plane into the next.
      for (; count > 0 && x < scan; --count, ++x) buf[x] = value;
    }
    if (truecolour) {
      std::uint8_t* rgb = picture->rgb + y * w * 3;
      for (std::size_t i = 0; i < w; ++i)
        for (int c = 0; c < 3; ++c) rgb[i * 3 + c] = buf[c * line + i];
      if (planes == 4) std::memcpy(picture->alpha + y * w, buf + 3 * line, w);
      continue;
    }
    std::uint8_t* row = picture->index + y * w;
    if (indexed8) {
      std::memcpy(row, buf, w);
    } else if (nibbles) {
      for (std::size_t i = 0; i < w; ++i) row[i] = (buf[i / 2] >> (i & 1 ? 0 : 4)) & 15;
    } else {
      for (std::size_t i = 0; i < w; ++i) {
        std::uint8_t v = 0;
        for (unsigned p = 0; p < planes; ++p) v |= ((buf[p * line + i / 8] >> (7 - i % 8)) & 1) << p;
        row[i] = v;
      }
    }
  }
  if (indexed8) {
    const std::uint8_t* pal = data + size - kPaletteSize + 1;
    for (int i = 0; i < 256; ++i) std::memcpy(picture->palette[i], pal + i * 3, 3);
    set_description(picture, "8 bit PCX");
  } else if (truecolour) {
    set_description(picture, planes == 4 ? "32 bit PCX" : "24 bit PCX");
  } else {
    // Up to 16 colours: the palette in the header. Writers of black-and-white files often leave
    // it empty, which would make both colours one; in those files 0 is black and 1 white.
    for (int i = 0; i < 16; ++i) std::memcpy(picture->palette[i], data + kEgaPalette + i * 3, 3);
    if (bits * planes == 1 && std::memcmp(picture->palette[0], picture->palette[1], 3) == 0) {
      std::memset(picture->palette[0], 0, 3);
      std::memset(picture->palette[1], 255, 3);
    }
    set_description(picture, bits * planes == 1 ? "1 bit PCX" : "16 colour PCX");
  }
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
