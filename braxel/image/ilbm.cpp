// IFF ILBM reader: BMHD, CMAP, CAMG and PCHG chunks before the BODY; indexed pictures up to 8
// planes, extra-half-brite, HAM6/HAM8 and per-line palettes (the last two as true colour).
#include "braxel/image/ilbm.h"

#include <cstring>

#include "braxel/image/imageio.h"

using namespace imageio;

namespace {

constexpr std::size_t kFirstChunk = 12;
constexpr std::uint32_t kModeHam = 0x800;
constexpr std::uint8_t kMaskPlane = 1;  // BMHD masking: a mask plane follows the colour planes
constexpr std::uint8_t kCompressNone = 0;
constexpr std::uint8_t kCompressByteRun1 = 1;
constexpr int kMaxPlanes = 8;
// PCHG header fields and flags.
constexpr std::size_t kPchgHeader = 20;
constexpr std::uint16_t kPchgSmallChanges = 1;  // 12-bit colours for registers 0..31
constexpr std::uint16_t kPchgBigChanges = 2;    // 8-bit colours for any register

bool id_is(const std::uint8_t* p, const char* id) {
  return std::memcmp(p, id, 4) == 0;
}

std::uint16_t be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Applies the uncompressed PCHG changes to copies of the base palette, one per line.
ImageStatus read_pchg(const std::uint8_t* p, std::size_t n, const std::uint8_t base[256][3],
                      std::size_t height, std::uint8_t (*lines)[256][3], ImageError* error) {
  if (n < kPchgHeader) return fail(error, ImageStatus::kCorrupt, "truncated PCHG chunk");
  const std::uint16_t compression = be16(p), flags = be16(p + 2);
  const std::int16_t start = static_cast<std::int16_t>(be16(p + 4));
  const std::uint16_t count = be16(p + 6);
  if (compression != 0) return fail(error, ImageStatus::kUnsupported, "compressed PCHG chunk");
  ByteReader in(p, n);
  in.seek(kPchgHeader);
  const std::size_t mask_words = (std::size_t{count} + 31) / 32;
  const std::uint8_t* mask = in.bytes(mask_words * 4);
  if (mask == nullptr) return fail(error, ImageStatus::kCorrupt, "truncated PCHG chunk");
  std::uint8_t current[256][3];
  std::memcpy(current, base, sizeof current);
  std::size_t next_line = 0;  // lines before the next change keep the palette in force
  auto fill_until = [&](std::size_t line) {
    for (; next_line < line && next_line < height; ++next_line)
      std::memcpy(lines[next_line], current, sizeof current);
  };
  for (std::size_t i = 0; i < count; ++i) {
    if (!(mask[i / 8] & (0x80 >> (i % 8)))) continue;
    const std::int64_t line = std::int64_t{start} + static_cast<std::int64_t>(i);
    if (line >= 0) fill_until(static_cast<std::size_t>(line));
    if (flags & kPchgSmallChanges) {
      const int low = in.u8(), high = in.u8();
      for (int k = 0; k < low + high; ++k) {
        const std::uint16_t v = in.be16();
        const int reg = (v >> 12) + (k < low ? 0 : 16);
        current[reg][0] = static_cast<std::uint8_t>(((v >> 8) & 15) * 17);
        current[reg][1] = static_cast<std::uint8_t>(((v >> 4) & 15) * 17);
        current[reg][2] = static_cast<std::uint8_t>((v & 15) * 17);
      }
    } else if (flags & kPchgBigChanges) {
      const int changes = in.be16();
      for (int k = 0; k < changes; ++k) {
        const std::uint16_t reg = in.be16();
        in.u8();  // alpha
        const std::uint8_t r = in.u8(), b = in.u8(), g = in.u8();
        if (reg < 256) {
          current[reg][0] = r;
          current[reg][1] = g;
          current[reg][2] = b;
        }
      }
    } else {
      return fail(error, ImageStatus::kUnsupported, "PCHG chunk of unknown kind");
    }
    if (in.overrun()) return fail(error, ImageStatus::kCorrupt, "truncated PCHG chunk");
  }
  fill_until(height);
  return ImageStatus::kOk;
}

}  // namespace

ImageStatus ilbm_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error) {
  std::uint8_t base[256][3] = {};
  bool have_header = false, ham = false;
  std::size_t w = 0, h = 0;
  int planes = 0;
  std::uint8_t masking = 0, compression = 0;
  const std::uint8_t* pchg = nullptr;
  std::size_t pchg_size = 0;
  const std::uint8_t* body = nullptr;
  std::size_t body_size = 0;

  std::size_t pos = kFirstChunk;
  while (body == nullptr) {
    if (pos + 8 > size) return fail(error, ImageStatus::kCorrupt, "ILBM without a BODY chunk");
    const std::uint8_t* id = data + pos;
    std::size_t length = (std::uint32_t{data[pos + 4]} << 24) | (std::uint32_t{data[pos + 5]} << 16) |
                         (std::uint32_t{data[pos + 6]} << 8) | data[pos + 7];
    const std::uint8_t* p = data + pos + 8;
    const std::size_t available = size - pos - 8;
    if (length > available) {
      // A short BODY is decoded as far as it goes; any other chunk must be whole.
      if (!id_is(id, "BODY"))
        return fail(error, ImageStatus::kCorrupt, "ILBM chunk runs past the end of the file");
      length = available;
    }
    if (id_is(id, "BMHD")) {
      if (length < 11) return fail(error, ImageStatus::kCorrupt, "short BMHD chunk");
      w = be16(p);
      h = be16(p + 2);
      planes = p[8];
      masking = p[9];
      compression = p[10];
      have_header = true;
    } else if (id_is(id, "CMAP")) {
      const int limit = planes >= 1 && planes <= kMaxPlanes ? 1 << planes : 256;
      const std::size_t colours = length / 3 < static_cast<std::size_t>(limit) ? length / 3 : limit;
      for (std::size_t i = 0; i < colours; ++i)
        for (int k = 0; k < 3; ++k) base[i][k] = p[i * 3 + k];
    } else if (id_is(id, "CAMG")) {
      if (length >= 4) ham = (((std::uint32_t{p[2]} << 8) | p[3]) & kModeHam) != 0;
    } else if (id_is(id, "PCHG")) {
      pchg = p;
      pchg_size = length;
    } else if (id_is(id, "BODY")) {
      body = p;
      body_size = length;
    }
    pos += 8 + length + (length & 1);
  }
  if (!have_header) return fail(error, ImageStatus::kCorrupt, "ILBM without a BMHD chunk");
  if (w == 0 || h == 0 || planes == 0) return fail(error, ImageStatus::kUnsupported, "ILBM without pixels");
  if (planes > kMaxPlanes) return fail(error, ImageStatus::kUnsupported, "ILBM of %d planes", planes);
  if (compression != kCompressNone && compression != kCompressByteRun1)
    return fail(error, ImageStatus::kUnsupported, "ILBM compression %u", compression);
  if (ham && planes != 6 && planes != 8)
    return fail(error, ImageStatus::kUnsupported, "HAM of %d planes", planes);
  if (check_dimensions(w, h, error, "ILBM") == 0) return ImageStatus::kCorrupt;

  const std::size_t plane_bytes = (w + 15) / 16 * 2;
  const int stored_planes = planes + (masking == kMaskPlane ? 1 : 0);
  const std::size_t row_bytes = plane_bytes * stored_planes;
  // ByteRun1 turns two bytes into at most 128.
  const std::size_t max_ratio = compression == kCompressNone ? 1 : 64;
  if (row_bytes * h > body_size * max_ratio) return fail(error, ImageStatus::kCorrupt, "ILBM BODY truncated");

  const bool ehb = planes == 6 && !ham;
  if (ehb)
    for (int i = 0; i < 32; ++i)
      for (int k = 0; k < 3; ++k) base[32 + i][k] = static_cast<std::uint8_t>(base[i][k] >> 1);

  Block line_palettes;
  if (pchg != nullptr) {
    Block lines(sizeof(std::uint8_t[256][3]) * h);
    auto* table = reinterpret_cast<std::uint8_t(*)[256][3]>(lines.get());
    const ImageStatus s = read_pchg(pchg, pchg_size, base, h, table, error);
    if (s != ImageStatus::kOk) return s;
    if (ehb)
      for (std::size_t y = 0; y < h; ++y)
        for (int i = 0; i < 32; ++i)
          for (int k = 0; k < 3; ++k) table[y][32 + i][k] = static_cast<std::uint8_t>(table[y][i][k] >> 1);
    line_palettes.reset(lines.take());
  }
  const bool truecolour = ham || pchg != nullptr;

  Block row(row_bytes), values(w);
  Block index(truecolour ? 0 : w * h);
  if (truecolour) allocate_truecolour(picture, static_cast<int>(w), static_cast<int>(h), false);
  std::size_t in = 0;
  for (std::size_t y = 0; y < h; ++y) {
    std::uint8_t* r = row.get();
    if (compression == kCompressNone) {
      if (in + row_bytes > body_size) return fail(error, ImageStatus::kCorrupt, "ILBM BODY truncated");
      std::memcpy(r, body + in, row_bytes);
      in += row_bytes;
    } else {
      std::size_t out = 0;
      while (out < row_bytes) {
        if (in >= body_size) return fail(error, ImageStatus::kCorrupt, "ILBM BODY truncated");
        const std::int8_t n = static_cast<std::int8_t>(body[in++]);
        if (n >= 0) {
          const std::size_t count = static_cast<std::size_t>(n) + 1;
          if (in + count > body_size) return fail(error, ImageStatus::kCorrupt, "ILBM BODY truncated");
          // Bytes beyond the row are dropped: a run never feeds the next row.
          const std::size_t take = count < row_bytes - out ? count : row_bytes - out;
          std::memcpy(r + out, body + in, take);
          in += count;
          out += take;
        } else if (n != -128) {
          if (in >= body_size) return fail(error, ImageStatus::kCorrupt, "ILBM BODY truncated");
          const std::size_t count = static_cast<std::size_t>(-n) + 1;
          const std::size_t take = count < row_bytes - out ? count : row_bytes - out;
          std::memset(r + out, body[in++], take);
          out += take;
        }
      }
    }
    std::uint8_t* v = values.get();
    std::memset(v, 0, w);
    for (int plane = 0; plane < planes; ++plane) {
      const std::uint8_t* bits = r + plane * plane_bytes;
      for (std::size_t x = 0; x < w; ++x)
        if (bits[x >> 3] & (0x80 >> (x & 7))) v[x] = static_cast<std::uint8_t>(v[x] | (1 << plane));
    }
    if (!truecolour) {
      std::memcpy(index.get() + y * w, v, w);
      continue;
    }
    const std::uint8_t(*pal)[3] =
        line_palettes.get() ? reinterpret_cast<std::uint8_t(*)[256][3]>(line_palettes.get())[y] : base;
    std::uint8_t* dst = picture->rgb + y * w * 3;
    int cr = pal[0][0], cg = pal[0][1], cb = pal[0][2];
    for (std::size_t x = 0; x < w; ++x, dst += 3) {
      if (ham) {
        const int data_bits = planes - 2;
        const int control = v[x] >> data_bits, value = v[x] & ((1 << data_bits) - 1);
        // Modified components keep their low bits from the top of the new value.
        const int full = data_bits == 4 ? value * 17 : (value << 2) | (value >> 4);
        switch (control) {
          case 0:
            cr = pal[value][0], cg = pal[value][1], cb = pal[value][2];
            break;
          case 1:
            cb = full;
            break;
          case 2:
            cr = full;
            break;
          default:
            cg = full;
            break;
        }
      } else {
        cr = pal[v[x]][0], cg = pal[v[x]][1], cb = pal[v[x]][2];
      }
      dst[0] = static_cast<std::uint8_t>(cr);
      dst[1] = static_cast<std::uint8_t>(cg);
      dst[2] = static_cast<std::uint8_t>(cb);
    }
  }
  if (truecolour) {
    set_description(picture, ham ? "HAM ILBM" : "ILBM with line palettes");
    return ImageStatus::kOk;
  }
  reset_palette(picture);
  for (int i = 0; i < 256; ++i)
    for (int k = 0; k < 3; ++k) picture->palette[i][k] = base[i][k];
  picture->width = static_cast<std::int16_t>(w);
  picture->height = static_cast<std::int16_t>(h);
  picture->index = index.take();
  set_description(picture, ehb ? "EHB ILBM" : "ILBM");
  return ImageStatus::kOk;
}
