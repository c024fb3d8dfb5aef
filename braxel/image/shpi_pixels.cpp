// Pixel and palette formats of SHPI image blocks: the format tables, decoding a block into a
// picture (with compressed pixel data, attached palettes and the program-wide remembered
// palette), encoding pictures and palettes back into a block's own formats, and the background
// index of an indexed picture.
#include <cstdio>
#include <cstring>

#include "braxel/archive/compress.h"
#include "braxel/image/shpi_internal.h"

namespace {

// Pixel format codes (bits 0-6 of a block code).
enum PixelCode : int {
  kPixel4Bit = 0x40,      // two indices per byte, the first pixel in the low nibble
  kPixel8Bit = 0x41,      // one index per byte
  kPixel8BitB = 0x7B,     // one index per byte
  kPixel8BitC = 0x7C,     // one index per byte
  kPixelArgb4444 = 0x6D,  // LE16 alpha 12-15, red 8-11, green 4-7, blue 0-3
  kPixelRgb565 = 0x78,    // LE16 red 11-15, green 6-10 (top five of six bits), blue 0-4
  kPixelArgb1555 = 0x7E,  // LE16 alpha 15, red 10-14, green 5-9, blue 0-4
  kPixelBgr888 = 0x7F,    // blue, green, red
  kPixelBgra8888 = 0x7D,  // blue, green, red, alpha
};

constexpr ShpiPixelFormat kIndexed{1, true, nullptr};
constexpr ShpiPixelFormat kFormat6D{2, false, "16b RGBA"};
constexpr ShpiPixelFormat kFormat78{2, false, "15b RGB"};
constexpr ShpiPixelFormat kFormat7E{2, false, "15b RGBA"};
constexpr ShpiPixelFormat kFormat7F{3, false, "24b RGB"};
constexpr ShpiPixelFormat kFormat7D{4, false, "32b BGRA"};

// Palette block layouts.
enum class PaletteLayout {
  kRgb6,     // red, green, blue, 6 bits each
  kRgb15,    // LE16 red 0-4, green 5-9, blue 10-14
  kRgb8,     // red, green, blue
  kBgr15,    // LE16 red 11-15, green 6-10, blue 0-4
  kBgra,     // blue, green, red, alpha
  kRgba15,   // LE16 as kRgb15, one byte not read, alpha
  kRgba256,  // red, green, blue, alpha, always 256 entries
};

struct PaletteFormat {
  PaletteLayout layout;
  int entry_size;
  const char* name;
};

const PaletteFormat* lookup_palette(int code) {
  static constexpr PaletteFormat kRgb6{PaletteLayout::kRgb6, 3, "RGB6"};
  static constexpr PaletteFormat kRgb15{PaletteLayout::kRgb15, 2, "RGB15"};
  static constexpr PaletteFormat kRgb8{PaletteLayout::kRgb8, 3, "RGB8"};
  static constexpr PaletteFormat kBgr15{PaletteLayout::kBgr15, 2, "BGR15"};
  static constexpr PaletteFormat kBgra{PaletteLayout::kBgra, 4, "BGRA"};
  static constexpr PaletteFormat kRgba15{PaletteLayout::kRgba15, 4, "RGBA15"};
  // Code 6F is stored like 29 but has always been shown as RGB15.
  static constexpr PaletteFormat kRgb15Bgr{PaletteLayout::kBgr15, 2, "RGB15"};
  static constexpr PaletteFormat kRgba256{PaletteLayout::kRgba256, 4, ""};
  switch (code) {
    case 0x22:
    case 0x40:
    case 0xC0:
      return &kRgb6;
    case 0x23:
    case 0x2D:
      return &kRgb15;
    case 0x24:
      return &kRgb8;
    case 0x29:
      return &kBgr15;
    case 0x2A:
    case 0x7C:
      return &kBgra;
    case 0x2E:
      return &kRgba15;
    case 0x6F:
      return &kRgb15Bgr;
    case 0xFF:
      return &kRgba256;
    default:
      return nullptr;
  }
}

// Only format 24 marks a background colour: its last colour when pure green or pure magenta.
constexpr int kPaletteRgb8 = 0x24;

// Attachments of these codes are pictures or compressed streams, never palettes.
bool attachment_is_picture(int code) {
  return code == 0x7C || code == 0x7B || code == 0x7D || code == 0xFB || code == 0x41;
}

// An attached palette is read within this many bytes of its start.
constexpr std::size_t kAttachmentBudget = 10000;

bool g_remembered = false;
std::uint8_t g_remembered_palette[256][4];

void grey_ramp(std::uint8_t palette[256][4]) {
  for (int i = 0; i < 256; ++i) {
    palette[i][0] = palette[i][1] = palette[i][2] = static_cast<std::uint8_t>(i);
    palette[i][3] = 255;
  }
}

std::uint8_t* allocate(std::size_t bytes) {
  return static_cast<std::uint8_t*>(console.allocate(bytes));
}

}  // namespace

using shpi::fail;
using shpi::le16;

const ShpiPixelFormat* shpi_lookup_format(int code) {
  switch (code & 0x7F) {
    case kPixel4Bit:
    case kPixel8Bit:
    case kPixel8BitB:
    case kPixel8BitC:
      return &kIndexed;
    case kPixelArgb4444:
      return &kFormat6D;
    case kPixelRgb565:
      return &kFormat78;
    case kPixelArgb1555:
      return &kFormat7E;
    case kPixelBgr888:
      return &kFormat7F;
    case kPixelBgra8888:
      return &kFormat7D;
    default:
      return nullptr;
  }
}

std::size_t shpi_pixel_bytes(int code, std::size_t width, std::size_t height) {
  const ShpiPixelFormat* format = shpi_lookup_format(code);
  if (format == nullptr) return 0;
  const std::size_t pixels = width * height;
  if ((code & 0x7F) == kPixel4Bit) return (pixels + 1) / 2;
  return pixels * static_cast<std::size_t>(format->bytes_per_pixel);
}

std::int32_t shpi_attachment_offset(const std::uint8_t* header) {
  const std::int32_t raw = header[1] | (header[2] << 8) | (header[3] << 16);
  return raw > 0x800000 ? raw - 0x1000000 : raw;
}

int shpi_decode_palette(const std::uint8_t* block, std::size_t budget, std::uint8_t palette[256][4],
                        char* description, std::uint16_t* code_out) {
  if (block == nullptr || budget < kShpiBlockHeaderSize) return 0;
  const int code = block[0];
  const PaletteFormat* format = lookup_palette(code);
  if (format == nullptr) return 0;
  int first = le16(block + 10);
  int count = le16(block + 4);
  if (format->layout == PaletteLayout::kRgba256) first = 0, count = 256;
  const std::uint8_t* p = block + kShpiBlockHeaderSize;
  std::size_t left = budget - kShpiBlockHeaderSize;
  int last = -1;
  for (int i = first; i < first + count && i < 256; ++i) {
    if (left < static_cast<std::size_t>(format->entry_size)) break;
    std::uint8_t* c = palette[i];
    unsigned v = 0;
    switch (format->layout) {
      case PaletteLayout::kRgb6:
        c[0] = static_cast<std::uint8_t>(p[0] << 2);
        c[1] = static_cast<std::uint8_t>(p[1] << 2);
        c[2] = static_cast<std::uint8_t>(p[2] << 2);
        c[3] = 255;
        break;
      case PaletteLayout::kRgb15:
      case PaletteLayout::kRgba15:
        v = le16(p);
        c[0] = static_cast<std::uint8_t>((v & 31) << 3);
        c[1] = static_cast<std::uint8_t>(((v >> 5) & 31) << 3);
        c[2] = static_cast<std::uint8_t>(((v >> 10) & 31) << 3);
        c[3] = format->layout == PaletteLayout::kRgba15 ? p[3] : 255;
        break;
      case PaletteLayout::kRgb8:
        c[0] = p[0], c[1] = p[1], c[2] = p[2], c[3] = 255;
        break;
      case PaletteLayout::kBgr15:
        v = le16(p);
        c[0] = static_cast<std::uint8_t>(((v >> 11) & 31) << 3);
        c[1] = static_cast<std::uint8_t>(((v >> 6) & 31) << 3);
        c[2] = static_cast<std::uint8_t>((v & 31) << 3);
        c[3] = 255;
        break;
      case PaletteLayout::kBgra:
        c[0] = p[2], c[1] = p[1], c[2] = p[0], c[3] = p[3];
        break;
      case PaletteLayout::kRgba256:
        c[0] = p[0], c[1] = p[1], c[2] = p[2], c[3] = p[3];
        break;
    }
    p += format->entry_size;
    left -= static_cast<std::size_t>(format->entry_size);
    last = i;
  }
  if (last < 0) return 0;
  if (code == kPaletteRgb8) {
    std::uint8_t* c = palette[last];
    const bool green = c[0] == 0 && c[1] == 255 && c[2] == 0;
    const bool magenta = c[0] == 255 && c[1] == 0 && c[2] == 255;
    if (green || magenta) c[3] = 0;
  }
  if (description != nullptr) {
    if (format->name[0] != 0)
      std::snprintf(description, 33, "%s %02X", format->name, code);
    else
      description[0] = 0;
  }
  if (code_out != nullptr) *code_out = static_cast<std::uint16_t>(code);
  return (last - first + 1) * format->entry_size;
}

int shpi_encode_palette(std::uint8_t* block, std::size_t size, const std::uint8_t palette[256][4]) {
  if (block == nullptr || size < kShpiBlockHeaderSize) return 0;
  const int code = block[0];
  const PaletteFormat* format = lookup_palette(code);
  if (format == nullptr) return 0;
  // The same colours the reader takes from the block, so that a palette survives a rewrite.
  int first = le16(block + 10);
  int count = le16(block + 4);
  if (format->layout == PaletteLayout::kRgba256) first = 0, count = 256;
  std::uint8_t* p = block + kShpiBlockHeaderSize;
  std::size_t left = size - kShpiBlockHeaderSize;
  int written = 0;
  for (int i = first; i < first + count && i < 256; ++i) {
    if (left < static_cast<std::size_t>(format->entry_size)) break;
    const std::uint8_t* c = palette[i];
    switch (format->layout) {
      case PaletteLayout::kRgb6:
        p[0] = c[0] >> 2, p[1] = c[1] >> 2, p[2] = c[2] >> 2;
        break;
      case PaletteLayout::kRgb15:
        shpi::put_le16(p, (c[0] >> 3) | ((c[1] >> 3) << 5) | ((c[2] >> 3) << 10));
        break;
      case PaletteLayout::kRgba15:
        shpi::put_le16(p, (c[0] >> 3) | ((c[1] >> 3) << 5) | ((c[2] >> 3) << 10));
        p[3] = c[3];
        break;
      case PaletteLayout::kRgb8:
        p[0] = c[0], p[1] = c[1], p[2] = c[2];
        break;
      case PaletteLayout::kBgr15:
        shpi::put_le16(p, ((c[0] >> 3) << 11) | ((c[1] >> 3) << 6) | (c[2] >> 3));
        break;
      case PaletteLayout::kBgra:
        p[0] = c[2], p[1] = c[1], p[2] = c[0], p[3] = c[3];
        break;
      case PaletteLayout::kRgba256:
        p[0] = c[0], p[1] = c[1], p[2] = c[2], p[3] = c[3];
        break;
    }
    p += format->entry_size;
    left -= static_cast<std::size_t>(format->entry_size);
    ++written;
  }
  return written;
}

bool shpi_remembered_palette(std::uint8_t palette[256][4]) {
  if (g_remembered && palette != nullptr)
    std::memcpy(palette, g_remembered_palette, sizeof g_remembered_palette);
  return g_remembered;
}

void shpi_forget_palette() {
  g_remembered = false;
}

namespace shpi {

bool entry_bytes(const std::uint8_t* stored, std::size_t size, EntryBytes* bytes, ShpiError* error) {
  std::int32_t declared = 0;
  if (!stream_is_compressed(stored, static_cast<std::int64_t>(size), &declared)) {
    bytes->data = stored;
    bytes->size = size;
    return true;
  }
  const DecodeStatus status = stream_decode(std::span<const std::uint8_t>(stored, size), bytes->owned);
  if (status != DecodeStatus::kOk) {
    fail(error, ShpiStatus::kCorrupt, "compressed entry does not decode: %s", decode_status_text(status));
    return false;
  }
  bytes->data = bytes->owned.data();
  bytes->size = bytes->owned.size();
  return true;
}

}  // namespace shpi

namespace {

// Fills the true-colour (and alpha) planes of a true-colour block.
void decode_truecolour(int code, const std::uint8_t* src, std::size_t pixels, ShapeImage* picture) {
  std::uint8_t* rgb = picture->rgb;
  std::uint8_t* alpha = picture->alpha;
  for (std::size_t i = 0; i < pixels; ++i, rgb += 3) {
    unsigned v = 0;
    switch (code) {
      case kPixelArgb4444:
        v = le16(src + i * 2);
        rgb[0] = static_cast<std::uint8_t>(((v >> 8) & 15) << 4);
        rgb[1] = static_cast<std::uint8_t>(((v >> 4) & 15) << 4);
        rgb[2] = static_cast<std::uint8_t>((v & 15) << 4);
        alpha[i] = static_cast<std::uint8_t>((v >> 12) << 4);
        break;
      case kPixelRgb565:
        v = le16(src + i * 2);
        rgb[0] = static_cast<std::uint8_t>(((v >> 11) & 31) << 3);
        rgb[1] = static_cast<std::uint8_t>(((v >> 6) & 31) << 3);
        rgb[2] = static_cast<std::uint8_t>((v & 31) << 3);
        break;
      case kPixelArgb1555:
        v = le16(src + i * 2);
        rgb[0] = static_cast<std::uint8_t>(((v >> 10) & 31) << 3);
        rgb[1] = static_cast<std::uint8_t>(((v >> 5) & 31) << 3);
        rgb[2] = static_cast<std::uint8_t>((v & 31) << 3);
        alpha[i] = (v & 0x8000) != 0 ? 255 : 0;
        break;
      case kPixelBgr888:
        rgb[0] = src[i * 3 + 2], rgb[1] = src[i * 3 + 1], rgb[2] = src[i * 3];
        break;
      case kPixelBgra8888:
        rgb[0] = src[i * 4 + 2], rgb[1] = src[i * 4 + 1], rgb[2] = src[i * 4];
        alpha[i] = src[i * 4 + 3];
        break;
      default:
        break;
    }
  }
}

bool has_alpha_plane(int code) {
  return code == kPixelArgb4444 || code == kPixelArgb1555 || code == kPixelBgra8888;
}

// The palette of an indexed block: its attached palette block, else the source's search.
bool attached_palette(const std::uint8_t* block, std::size_t size, const ShpiPaletteSource& source,
                      ShapeImage* picture, ShpiError* error) {
  const std::int32_t offset = shpi_attachment_offset(block);
  if (offset > 0) {
    if (static_cast<std::size_t>(offset) + kShpiBlockHeaderSize > size) {
      // The block cannot hold what its header points at: look for the pack's palette instead.
      shpi::warn(error, "corrupt palette offset (%d > %zu)", offset, size);
    } else if (!attachment_is_picture(block[offset])) {
      std::size_t budget = size - static_cast<std::size_t>(offset);
      if (budget > kAttachmentBudget) budget = kAttachmentBudget;
      if (shpi_decode_palette(block + offset, budget, picture->palette, picture->description,
                              &picture->palette_code) > 0)
        return true;
    }
  }
  return source.find != nullptr && source.find(source.context, picture);
}

}  // namespace

ShpiStatus shpi_decode_block(const std::uint8_t* stored, std::size_t stored_size,
                             const ShpiPaletteSource& source, ShapeImage* picture, ShpiError* error) {
  *picture = ShapeImage{};
  shpi::EntryBytes entry;
  if (stored == nullptr) return fail(error, ShpiStatus::kCorrupt, "no block");
  if (!shpi::entry_bytes(stored, stored_size, &entry, error)) return ShpiStatus::kCorrupt;
  const std::uint8_t* block = entry.data;
  const std::size_t size = entry.size;
  if (size < kShpiBlockHeaderSize)
    return fail(error, ShpiStatus::kCorrupt, "image block of %zu bytes has no complete header", size);
  const ShpiPixelFormat* format = shpi_lookup_format(block[0]);
  if (format == nullptr)
    return fail(error, ShpiStatus::kUnsupported, "block code %02X is not a pixel format", block[0]);
  const int code = block[0] & 0x7F;
  const std::size_t width = le16(block + 4);
  const std::size_t height = le16(block + 6);
  if (width == 0 || height == 0)
    return fail(error, ShpiStatus::kCorrupt, "image of %zux%zu has no pixels", width, height);
  if (width > 32767 || height > 32767 || width * height > image_pixel_limit())
    return fail(error, ShpiStatus::kCorrupt, "image of %zux%zu is too large", width, height);
  const std::size_t pixels = width * height;
  // An odd 4-bit picture may lack the byte of its last pixel; that pixel then reads as 0.
  const std::size_t needed = code == kPixel4Bit ? pixels / 2 : shpi_pixel_bytes(code, width, height);

  const std::uint8_t* data = block + kShpiBlockHeaderSize;
  std::size_t available = size - kShpiBlockHeaderSize;
  std::vector<std::uint8_t> unpacked;
  std::int32_t declared = 0;
  if ((block[0] & kShpiCompressedBit) != 0 &&
      stream_is_compressed(data, static_cast<std::int64_t>(available), &declared)) {
    if (static_cast<std::size_t>(declared) < needed)
      return fail(error, ShpiStatus::kCorrupt, "compressed pixel data of %d bytes is short of %zu", declared,
                  needed);
    const DecodeStatus status = stream_decode(std::span<const std::uint8_t>(data, available), unpacked);
    if (status != DecodeStatus::kOk)
      return fail(error, ShpiStatus::kCorrupt, "compressed pixel data does not decode: %s",
                  decode_status_text(status));
    data = unpacked.data();
    available = unpacked.size();
  }
  if (available < needed)
    return fail(error, ShpiStatus::kCorrupt, "pixel data truncated: %zu of %zu bytes for %zux%zu", available,
                needed, width, height);

  std::snprintf(picture->format, sizeof picture->format, "%02X", code);
  picture->width = static_cast<std::int16_t>(width);
  picture->height = static_cast<std::int16_t>(height);
  if (!shpi_remembered_palette(picture->palette)) grey_ramp(picture->palette);

  if (!format->palettised) {
    std::snprintf(picture->description, sizeof picture->description, "%s", format->description);
    picture->rgb = allocate(pixels * 3);
    if (has_alpha_plane(code)) picture->alpha = allocate(pixels);
    decode_truecolour(code, data, pixels, picture);
    std::memcpy(picture->saved_palette, picture->palette, sizeof picture->palette);
    return ShpiStatus::kOk;
  }

  picture->index = allocate(pixels);
  if (code == kPixel4Bit) {
    for (std::size_t i = 0; i < pixels; ++i) {
      const std::size_t byte = i / 2;
      const std::uint8_t b = byte < available ? data[byte] : 0;
      picture->index[i] = (i & 1) == 0 ? (b & 15) : (b >> 4);
    }
  } else {
    std::memcpy(picture->index, data, pixels);
  }

  if (attached_palette(block, size, source, picture, error) && !g_remembered) {
    std::memcpy(g_remembered_palette, picture->palette, sizeof g_remembered_palette);
    g_remembered = true;
  }
  std::memcpy(picture->saved_palette, picture->palette, sizeof picture->palette);

  picture->rgb = allocate(pixels * 3);
  bool translucent = false;
  for (std::size_t i = 0; i < pixels; ++i) {
    const std::uint8_t* c = picture->palette[picture->index[i]];
    std::memcpy(picture->rgb + i * 3, c, 3);
    translucent |= c[3] != 255;
  }
  if (translucent) {
    picture->alpha = allocate(pixels);
    for (std::size_t i = 0; i < pixels; ++i) picture->alpha[i] = picture->palette[picture->index[i]][3];
  }
  return ShpiStatus::kOk;
}

int shpi_transparent_index(const std::uint8_t* index, int width, int height) {
  if (index == nullptr || width <= 0 || height <= 0) return 0;
  int counts[256] = {};
  const std::size_t w = static_cast<std::size_t>(width);
  const std::size_t last_row = (static_cast<std::size_t>(height) - 1) * w;
  for (std::size_t x = 0; x < w; ++x) {
    ++counts[index[x]];
    ++counts[index[last_row + x]];
  }
  for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
    ++counts[index[y * w]];
    ++counts[index[y * w + w - 1]];
  }
  const int threshold = (2 * height + 2 * width) / 3;
  for (int i = 0; i < 256; ++i)
    if (counts[i] > threshold) return i;
  return 0;
}

ShpiStatus shpi_encode_pixels(int code, const ShapeImage& picture, ImageBytes* out, ShpiError* error) {
  const ShpiPixelFormat* format = shpi_lookup_format(code);
  if (format == nullptr)
    return fail(error, ShpiStatus::kUnsupported, "block code %02X is not a pixel format", code & 0xFF);
  code &= 0x7F;
  if (picture.width <= 0 || picture.height <= 0)
    return fail(error, ShpiStatus::kCorrupt, "picture of %dx%d has no pixels", picture.width, picture.height);
  const std::size_t pixels =
      static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height);
  if (format->palettised ? picture.index == nullptr : picture.rgb == nullptr)
    return fail(error, ShpiStatus::kCorrupt, "picture has no %s pixels for format %02X",
                format->palettised ? "index" : "true-colour", code);
  std::vector<std::uint8_t> bytes(shpi_pixel_bytes(code, static_cast<std::size_t>(picture.width),
                                                   static_cast<std::size_t>(picture.height)));
  std::uint8_t* o = bytes.data();
  if (code == kPixel4Bit) {
    for (std::size_t i = 0; i < pixels; ++i)
      o[i / 2] |= static_cast<std::uint8_t>((picture.index[i] & 15) << ((i & 1) * 4));
  } else if (format->palettised) {
    std::memcpy(o, picture.index, pixels);
  } else {
    for (std::size_t i = 0; i < pixels; ++i) {
      const std::uint8_t r = picture.rgb[i * 3], g = picture.rgb[i * 3 + 1], b = picture.rgb[i * 3 + 2];
      const std::uint8_t a = picture.alpha != nullptr ? picture.alpha[i] : 255;
      switch (code) {
        case kPixelArgb4444:
          o[i * 2] = static_cast<std::uint8_t>(((g >> 4) << 4) | (b >> 4));
          o[i * 2 + 1] = static_cast<std::uint8_t>((r >> 4) | ((a >> 4) << 4));
          break;
        case kPixelRgb565:
          shpi::put_le16(o + i * 2, ((r >> 3) << 11) | ((g >> 3) << 6) | (b >> 3));
          break;
        case kPixelArgb1555:
          shpi::put_le16(o + i * 2, (b >> 3) | ((g >> 3) << 5) | ((r >> 3) << 10) | (a != 0 ? 0x8000 : 0));
          break;
        case kPixelBgr888:
          o[i * 3] = b, o[i * 3 + 1] = g, o[i * 3 + 2] = r;
          break;
        case kPixelBgra8888:
          o[i * 4] = b, o[i * 4 + 1] = g, o[i * 4 + 2] = r, o[i * 4 + 3] = a;
          break;
        default:
          break;
      }
    }
  }
  if (!bytes.empty()) image_bytes_append(out, bytes.data(), bytes.size());
  return ShpiStatus::kOk;
}
