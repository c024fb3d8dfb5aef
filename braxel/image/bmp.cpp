// BMP reader (1-, 4- and 8-bit palettes, uncompressed or run-length coded; 16-, 24- and 32-bit
// pixels, with colour masks and alpha) and writer (8-bit when indexed, else 24-bit), rows
// bottom-up and padded to four bytes.
#include "braxel/image/bmp.h"

#include <bit>
#include <cstring>

#include "braxel/image/imageio.h"

using namespace imageio;

namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeader = 12;  // palette entries of 3 bytes, 16-bit dimensions
constexpr std::uint32_t kInfoHeader = 40;  // palette entries of 4 bytes
constexpr std::uint32_t kInfo2Header = 64;
// Later header versions keep the first 40 bytes of the info header and carry the colour masks
// (red, green, blue, alpha) right after them.
constexpr std::uint32_t kV4Header = 108;
constexpr std::uint32_t kV5Header = 124;
constexpr std::size_t kMaskOffset = kFileHeaderSize + kInfoHeader;
// Compression codes. 4 and 5 (an embedded JPEG or PNG file) are not read: they exist for
// printers, and no image editor writes them.
constexpr std::uint32_t kCompressionNone = 0;
constexpr std::uint32_t kCompressionRle8 = 1;
constexpr std::uint32_t kCompressionRle4 = 2;
constexpr std::uint32_t kCompressionBitfields = 3;
// Escapes of the run-length codings: a zero count followed by one of these (or by a count of
// literal pixels).
constexpr std::uint8_t kRleEndOfLine = 0;
constexpr std::uint8_t kRleEndOfPicture = 1;
constexpr std::uint8_t kRleDelta = 2;

void put16(std::uint8_t* p, unsigned v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
  put16(p, v & 0xffff);
  put16(p + 2, v >> 16);
}

// One colour mask: where its bits sit and how to widen or narrow them to 8 bits. Narrow fields
// are widened by repeating their bits (5 bits abcde give abcdeabc), so that the lowest value
// gives 0 and the highest 255; wider fields keep their top 8 bits.
struct Channel {
  std::uint32_t mask = 0;
  unsigned shift = 0;
  unsigned bits = 0;  // 0 for an absent channel
  std::uint8_t widened[256] = {};
  std::uint8_t get(std::uint32_t pixel) const {
    if (bits == 0) return 255;
    const std::uint32_t v = (pixel & mask) >> shift;
    return bits <= 8 ? widened[v] : static_cast<std::uint8_t>(v >> (bits - 8));
  }
};

// Checks that the mask is one run of bits inside the pixel; a zero mask is an absent channel.
bool make_channel(std::uint32_t mask, unsigned bits, Channel* out) {
  *out = Channel{};
  if (mask == 0) return true;
  if (bits < 32 && (mask >> bits) != 0) return false;
  unsigned shift = 0;
  while (((mask >> shift) & 1) == 0) ++shift;
  const std::uint32_t value = mask >> shift;
  if ((value & (value + 1)) != 0) return false;  // not contiguous
  out->mask = mask;
  out->shift = shift;
  out->bits = static_cast<unsigned>(std::bit_width(value));
  if (out->bits <= 8) {
    const int n = static_cast<int>(out->bits);
    for (std::uint32_t v = 0; v <= value; ++v) {
      std::uint32_t wide = 0;
      for (int at = 8 - n; at > -n; at -= n) wide |= at >= 0 ? v << at : v >> -at;
      out->widened[v] = static_cast<std::uint8_t>(wide);
    }
  }
  return true;
}

struct Masks {
  Channel channel[4];  // red, green, blue, alpha
};

ImageStatus read_masks(const std::uint32_t raw[4], unsigned bits, Masks* masks, ImageError* error) {
  for (int c = 0; c < 4; ++c)
    if (!make_channel(raw[c], bits, &masks->channel[c]))
      return fail(error, ImageStatus::kCorrupt,
                  "BMP colour mask %08X is not one run of bits of a %u-bit pixel", raw[c], bits);
  for (int c = 0; c < 3; ++c)
    if (raw[c] == 0) return fail(error, ImageStatus::kCorrupt, "BMP colour mask of 0");
  for (int a = 0; a < 4; ++a)
    for (int b = a + 1; b < 4; ++b)
      if (raw[a] & raw[b])
        return fail(error, ImageStatus::kCorrupt, "BMP colour masks %08X and %08X overlap", raw[a], raw[b]);
  return ImageStatus::kOk;
}

// Decodes RLE8 or RLE4 pixels into the index plane (rows bottom-up in the file). Pixels the
// coding skips keep index 0. Editors code whole stored rows, padding included, so runs may reach
// the end of the padding (`stride` pixels); runs beyond it or below the last row are refused
// rather than clipped: such a file is damaged, and clipping would hide where.
ImageStatus read_rle(ByteReader in, bool rle4, std::size_t w, std::size_t h, std::size_t stride,
                     std::uint8_t* index, ImageError* error) {
  std::size_t x = 0, y = 0;
  auto room = [&](std::size_t count) -> ImageStatus {
    if (y >= h) return fail(error, ImageStatus::kCorrupt, "BMP run past the end of the picture");
    if (count > stride - x) return fail(error, ImageStatus::kCorrupt, "BMP run past the end of row %zu", y);
    return ImageStatus::kOk;
  };
  auto put = [&](std::uint8_t v) {
    if (x < w) index[(h - 1 - y) * w + x] = v;
    ++x;
  };
  while (in.remaining() > 0) {
    const std::uint8_t count = in.u8(), value = in.u8();
    if (in.overrun()) break;
    if (count > 0) {
      if (room(count) != ImageStatus::kOk) return ImageStatus::kCorrupt;
      for (unsigned i = 0; i < count; ++i) put(rle4 ? (i & 1 ? value & 15 : value >> 4) : value);
    } else if (value == kRleEndOfLine) {
      x = 0;
      ++y;
    } else if (value == kRleEndOfPicture) {
      return ImageStatus::kOk;
    } else if (value == kRleDelta) {
      const std::uint8_t dx = in.u8(), dy = in.u8();
      x += dx;
      y += dy;
      if (x > stride || y > h)
        return fail(error, ImageStatus::kCorrupt, "BMP offset past the end of the picture");
    } else {
      // Literal pixels, padded to an even number of bytes.
      const std::size_t bytes = rle4 ? (value + 1u) / 2 : value;
      const std::uint8_t* p = in.bytes(bytes + (bytes & 1));
      if (p == nullptr) break;
      if (room(value) != ImageStatus::kOk) return ImageStatus::kCorrupt;
      for (unsigned i = 0; i < value; ++i) put(rle4 ? (i & 1 ? p[i / 2] & 15 : p[i / 2] >> 4) : p[i]);
    }
  }
  // The end code may be missing after the last row; a code cut short means lost pixels.
  if (in.overrun()) return fail(error, ImageStatus::kCorrupt, "BMP pixel data truncated");
  return ImageStatus::kOk;
}

}  // namespace

ImageStatus bmp_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error) {
  ByteReader in(data, size);
  in.skip(10);
  const std::uint32_t pixel_offset = in.le32();
  const std::uint32_t header = in.le32();
  std::int64_t width, height;
  unsigned planes, bits;
  std::uint32_t compression = kCompressionNone, colours_used = 0;
  int entry_size;
  if (header == kCoreHeader) {
    width = in.le16();
    height = in.le16();
    planes = in.le16();
    bits = in.le16();
    entry_size = 3;
    if (planes != 1) return fail(error, ImageStatus::kUnsupported, "BMP with %u planes", planes);
  } else if (header == kInfoHeader || header == kInfo2Header || header == kV4Header || header == kV5Header) {
    width = static_cast<std::int32_t>(in.le32());
    height = static_cast<std::int32_t>(in.le32());
    planes = in.le16();
    bits = in.le16();
    compression = in.le32();
    in.skip(12);
    colours_used = in.le32();
    entry_size = 4;
  } else {
    return fail(error, ImageStatus::kUnsupported, "BMP header of %u bytes", header);
  }
  if (in.overrun()) return fail(error, ImageStatus::kCorrupt, "truncated BMP header");
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
    return fail(error, ImageStatus::kUnsupported, "BMP of %u bits per pixel", bits);
  // Each coding belongs to its depths; the 64-byte header gives code 3 another meaning.
  const bool coding_fits =
      compression == kCompressionNone || (compression == kCompressionRle8 && bits == 8) ||
      (compression == kCompressionRle4 && bits == 4) ||
      (compression == kCompressionBitfields && (bits == 16 || bits == 32) && header != kInfo2Header);
  if (!coding_fits)
    return fail(error, ImageStatus::kUnsupported, "compressed BMP (method %u, %u bits)", compression, bits);
  const bool rle = compression == kCompressionRle8 || compression == kCompressionRle4;
  // A negative height stores the rows top-down.
  const bool top_down = height < 0;
  if (top_down) height = -height;
  if (top_down && rle) return fail(error, ImageStatus::kCorrupt, "top-down BMP with run-length coding");
  if (width < 0) return fail(error, ImageStatus::kCorrupt, "BMP of negative width");
  const std::size_t pixels =
      check_dimensions(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), error, "BMP");
  if (pixels == 0) return width == 0 || height == 0 ? ImageStatus::kUnsupported : ImageStatus::kCorrupt;

  const std::size_t w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
  const std::size_t row_bytes = (w * bits + 7) / 8;
  const std::size_t stride = (row_bytes + 3) & ~std::size_t{3};
  if (pixel_offset > size) return fail(error, ImageStatus::kCorrupt, "BMP pixel data truncated");
  // The last row's padding may be missing.
  if (!rle && (size - pixel_offset) < stride * (h - 1) + row_bytes)
    return fail(error, ImageStatus::kCorrupt, "BMP pixel data truncated");
  auto row_at = [&](std::size_t y) { return data + pixel_offset + (top_down ? y : h - 1 - y) * stride; };

  reset_palette(picture);
  if (bits <= 8) {
    const std::uint32_t levels = 1u << bits;
    std::uint32_t count = colours_used == 0 || header == kCoreHeader ? levels : colours_used;
    if (count > 256) return fail(error, ImageStatus::kCorrupt, "BMP palette of %u colours", count);
    const std::size_t palette_at = kFileHeaderSize + header;
    // A core header file may carry fewer entries before its pixels.
    if (header == kCoreHeader && pixel_offset >= palette_at && (pixel_offset - palette_at) / 3 < count)
      count = static_cast<std::uint32_t>((pixel_offset - palette_at) / 3);
    if (palette_at + std::size_t{count} * entry_size > size)
      return fail(error, ImageStatus::kCorrupt, "BMP palette truncated");
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* e = data + palette_at + i * entry_size;
      picture->palette[i][0] = e[2];
      picture->palette[i][1] = e[1];
      picture->palette[i][2] = e[0];
    }
    allocate_indexed(picture, static_cast<int>(w), static_cast<int>(h));
    if (rle) {
      std::memset(picture->index, 0, pixels);
      if (read_rle(ByteReader(data + pixel_offset, size - pixel_offset), compression == kCompressionRle4, w,
                   h, stride * 8 / bits, picture->index, error) != ImageStatus::kOk)
        return ImageStatus::kCorrupt;
    } else {
      const unsigned mask = levels - 1;
      for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t* src = row_at(y);
        std::uint8_t* dst = picture->index + y * w;
        for (std::size_t x = 0; x < w; ++x) {
          const std::size_t bit = x * bits;
          dst[x] = static_cast<std::uint8_t>((src[bit / 8] >> (8 - bits - bit % 8)) & mask);
        }
      }
    }
    char text[24];
    std::snprintf(text, sizeof text, "%u bit BMP%s", bits, rle ? " (RLE)" : "");
    set_description(picture, text);
    return ImageStatus::kOk;
  }
  if (bits == 24) {
    allocate_truecolour(picture, static_cast<int>(w), static_cast<int>(h), false);
    for (std::size_t y = 0; y < h; ++y) {
      const std::uint8_t* src = row_at(y);
      std::uint8_t* dst = picture->rgb + y * w * 3;
      for (std::size_t x = 0; x < w; ++x, src += 3, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
    }
    set_description(picture, "24 bit BMP");
    return ImageStatus::kOk;
  }

  // 16 and 32 bits: fields picked out by colour masks.
  std::uint32_t raw[4] = {};
  bool alpha_if_any = false;
  // Some writers state masks after a 40-byte header but store none there (the pixels follow
  // the header at once); those files use the masks of the uncompressed coding.
  const bool masks_given = header >= kV4Header || pixel_offset >= kMaskOffset + 12;
  if (compression == kCompressionBitfields && masks_given) {
    ByteReader m(data, size);
    m.seek(kMaskOffset);
    for (int c = 0; c < (header >= kV4Header ? 4 : 3); ++c) raw[c] = m.le32();
    if (m.overrun()) return fail(error, ImageStatus::kCorrupt, "BMP colour masks truncated");
  } else if (bits == 16) {
    raw[0] = 0x7C00, raw[1] = 0x03E0, raw[2] = 0x001F;
  } else {
    // The fourth byte is nominally unused, but editors store alpha there; a picture whose
    // fourth bytes are all 0 is one that does not use it, and stays opaque.
    raw[0] = 0xFF0000, raw[1] = 0xFF00, raw[2] = 0xFF, raw[3] = 0xFF000000;
    alpha_if_any = true;
  }
  Masks masks;
  if (read_masks(raw, bits, &masks, error) != ImageStatus::kOk) return ImageStatus::kCorrupt;
  const bool has_alpha = raw[3] != 0;
  allocate_truecolour(picture, static_cast<int>(w), static_cast<int>(h), has_alpha);
  bool any_alpha = false;
  for (std::size_t y = 0; y < h; ++y) {
    ByteReader row(row_at(y), row_bytes);
    std::uint8_t* dst = picture->rgb + y * w * 3;
    for (std::size_t x = 0; x < w; ++x, dst += 3) {
      const std::uint32_t v = bits == 16 ? row.le16() : row.le32();
      for (int c = 0; c < 3; ++c) dst[c] = masks.channel[c].get(v);
      if (has_alpha) {
        picture->alpha[y * w + x] = masks.channel[3].get(v);
        any_alpha |= (v & raw[3]) != 0;
      }
    }
  }
  if (alpha_if_any && !any_alpha) {
    console.release(picture->alpha);
    picture->alpha = nullptr;
  }
  set_description(picture, bits == 16 ? "16 bit BMP" : "32 bit BMP");
  return ImageStatus::kOk;
}

bool bmp_encode(const ShapeImage& picture, ImageBytes* out, ImageError* error) {
  const bool indexed = picture.index != nullptr;
  if (picture.width <= 0 || picture.height <= 0 || (!indexed && picture.rgb == nullptr)) {
    fail(error, ImageStatus::kCorrupt, "no picture to write");
    return false;
  }
  const std::size_t w = static_cast<std::size_t>(picture.width), h = static_cast<std::size_t>(picture.height);
  const std::size_t row_bytes = indexed ? w : w * 3;
  const std::size_t stride = (row_bytes + 3) & ~std::size_t{3};
  const std::size_t palette_bytes = indexed ? 1024 : 0;
  const std::size_t offset = kFileHeaderSize + kInfoHeader + palette_bytes;
  const std::size_t file_size = offset + stride * h;

  std::uint8_t head[kFileHeaderSize + kInfoHeader] = {};
  head[0] = 'B';
  head[1] = 'M';
  put32(head + 2, static_cast<std::uint32_t>(file_size));
  put32(head + 10, static_cast<std::uint32_t>(offset));
  put32(head + 14, kInfoHeader);
  put32(head + 18, static_cast<std::uint32_t>(w));
  put32(head + 22, static_cast<std::uint32_t>(h));
  put16(head + 26, 1);
  put16(head + 28, indexed ? 8 : 24);
  put32(head + 30, kCompressionNone);
  put32(head + 34, static_cast<std::uint32_t>(stride * h));
  put32(head + 46, indexed ? 256 : 0);
  image_bytes_append(out, head, sizeof head);
  if (indexed) {
    std::uint8_t palette[1024];
    for (int i = 0; i < 256; ++i) {
      palette[i * 4] = picture.palette[i][2];
      palette[i * 4 + 1] = picture.palette[i][1];
      palette[i * 4 + 2] = picture.palette[i][0];
      palette[i * 4 + 3] = 0;
    }
    image_bytes_append(out, palette, sizeof palette);
  }
  Block row(stride);
  for (std::size_t y = h; y-- > 0;) {
    std::uint8_t* r = row.get();
    if (indexed) {
      std::memcpy(r, picture.index + y * w, w);
    } else {
      const std::uint8_t* src = picture.rgb + y * w * 3;
      for (std::size_t x = 0; x < w; ++x) {
        r[x * 3] = src[x * 3 + 2];
        r[x * 3 + 1] = src[x * 3 + 1];
        r[x * 3 + 2] = src[x * 3];
      }
    }
    image_bytes_append(out, r, stride);
  }
  return true;
}
