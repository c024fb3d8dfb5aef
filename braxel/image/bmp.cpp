// BMP reader (8-bit palette and 24-bit, uncompressed) and writer (8-bit when indexed, else
// 24-bit), rows bottom-up and padded to four bytes.
#include "braxel/image/bmp.h"

#include <cstring>

#include "braxel/image/imageio.h"

using namespace imageio;

namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeader = 12;  // palette entries of 3 bytes, 16-bit dimensions
constexpr std::uint32_t kInfoHeader = 40;  // palette entries of 4 bytes
constexpr std::uint32_t kInfo2Header = 64;
// Later header versions keep the first 40 bytes of the info header; their extra fields (colour
// masks, colour space) do not matter for uncompressed 8- and 24-bit pictures.
constexpr std::uint32_t kV4Header = 108;
constexpr std::uint32_t kV5Header = 124;
constexpr std::uint32_t kCompressionNone = 0;

void put16(std::uint8_t* p, unsigned v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
  put16(p, v & 0xffff);
  put16(p + 2, v >> 16);
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
    if (compression != kCompressionNone)
      return fail(error, ImageStatus::kUnsupported, "compressed BMP (method %u)", compression);
  } else {
    return fail(error, ImageStatus::kUnsupported, "BMP header of %u bytes", header);
  }
  if (in.overrun()) return fail(error, ImageStatus::kCorrupt, "truncated BMP header");
  if (bits != 8 && bits != 24)
    return fail(error, ImageStatus::kUnsupported, "BMP of %u bits per pixel", bits);
  // A negative height stores the rows top-down.
  const bool top_down = height < 0;
  if (top_down) height = -height;
  if (width < 0) return fail(error, ImageStatus::kCorrupt, "BMP of negative width");
  const std::size_t pixels =
      check_dimensions(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), error, "BMP");
  if (pixels == 0) return width == 0 || height == 0 ? ImageStatus::kUnsupported : ImageStatus::kCorrupt;

  const std::size_t w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
  const std::size_t row_bytes = w * (bits / 8);
  const std::size_t stride = (row_bytes + 3) & ~std::size_t{3};
  // The last row's padding may be missing.
  if (pixel_offset > size || (size - pixel_offset) < stride * (h - 1) + row_bytes)
    return fail(error, ImageStatus::kCorrupt, "BMP pixel data truncated");

  reset_palette(picture);
  if (bits == 8) {
    std::uint32_t count = colours_used == 0 ? 256 : colours_used;
    if (header == kCoreHeader) count = 256;
    if (count > 256) return fail(error, ImageStatus::kCorrupt, "BMP palette of %u colours", count);
    const std::size_t palette_at = kFileHeaderSize + header;
    // A core header file may carry fewer than 256 entries before its pixels.
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
    for (std::size_t y = 0; y < h; ++y) {
      const std::uint8_t* src = data + pixel_offset + (top_down ? y : h - 1 - y) * stride;
      std::memcpy(picture->index + y * w, src, w);
    }
    set_description(picture, "8 bit BMP");
  } else {
    allocate_truecolour(picture, static_cast<int>(w), static_cast<int>(h), false);
    for (std::size_t y = 0; y < h; ++y) {
      const std::uint8_t* src = data + pixel_offset + (top_down ? y : h - 1 - y) * stride;
      std::uint8_t* dst = picture->rgb + y * w * 3;
      for (std::size_t x = 0; x < w; ++x, src += 3, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
    }
    set_description(picture, "24 bit BMP");
  }
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
