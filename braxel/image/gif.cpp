// GIF reader (first image; global and local colour tables; transparency; interlace; LZW code
// sizes 2 to 11) and GIF89a writer (256-colour global table, LZW with a 5003-entry hash).
#include "braxel/image/gif.h"

#include <cstring>

#include "braxel/image/imageio.h"

using namespace imageio;

namespace {

constexpr std::uint8_t kExtension = 0x21;
constexpr std::uint8_t kImageDescriptor = 0x2C;
constexpr std::uint8_t kTrailer = 0x3B;
constexpr std::uint8_t kGraphicControl = 0xF9;
constexpr std::uint8_t kTableFlag = 0x80;
constexpr std::uint8_t kInterlaceFlag = 0x40;
constexpr int kMinCodeSize = 2;
constexpr int kMaxCodeSize = 11;
constexpr int kMaxCodeBits = 12;
constexpr int kMaxCodes = 1 << kMaxCodeBits;

// Bits of the LZW stream spread over length-prefixed sub-blocks, least significant bit first.
class SubBlockBits {
 public:
  explicit SubBlockBits(ByteReader* in) : in_(in) {}
  // Gives -1 at the end of the data (the terminator block or the end of the file).
  int read(int bits) {
    while (count_ < bits) {
      if (left_ == 0) {
        if (ended_) return -1;
        left_ = in_->u8();
        if (left_ == 0 || in_->overrun()) {
          ended_ = true;
          left_ = 0;
          return -1;
        }
      }
      const std::uint8_t b = in_->u8();
      if (in_->overrun()) {
        ended_ = true;
        return -1;
      }
      --left_;
      buffer_ |= std::uint32_t{b} << count_;
      count_ += 8;
    }
    const int v = static_cast<int>(buffer_ & ((1u << bits) - 1));
    buffer_ >>= bits;
    count_ -= bits;
    return v;
  }

 private:
  ByteReader* in_;
  std::uint32_t buffer_ = 0;
  int count_ = 0;
  unsigned left_ = 0;
  bool ended_ = false;
};

void read_table(const std::uint8_t* p, int entries, ShapeImage* picture) {
  for (int i = 0; i < entries; ++i)
    for (int k = 0; k < 3; ++k) picture->palette[i][k] = p[i * 3 + k];
}

void skip_sub_blocks(ByteReader* in) {
  for (;;) {
    const std::uint8_t n = in->u8();
    if (n == 0 || in->overrun()) return;
    in->skip(n);
  }
}

// Row order of an interlaced picture: rows 0, 8, 16 ...; 4, 12 ...; 2, 6 ...; 1, 3 ...
std::size_t interlaced_row(std::size_t n, std::size_t h) {
  static constexpr std::size_t start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    const std::size_t rows = start[pass] < h ? (h - start[pass] + step[pass] - 1) / step[pass] : 0;
    if (n < rows) return start[pass] + n * step[pass];
    n -= rows;
  }
  return 0;
}

}  // namespace

ImageStatus gif_read(const std::uint8_t* data, std::size_t size, ShapeImage* picture, ImageError* error) {
  ByteReader in(data, size);
  in.skip(6);
  in.skip(4);  // logical screen size; the picture takes the first image's size
  const std::uint8_t screen_flags = in.u8();
  in.skip(2);
  if (in.overrun()) return fail(error, ImageStatus::kCorrupt, "truncated GIF header");
  reset_palette(picture);
  if (screen_flags & kTableFlag) {
    const int entries = 2 << (screen_flags & 7);
    const std::uint8_t* table = in.bytes(std::size_t(entries) * 3);
    if (table == nullptr) return fail(error, ImageStatus::kCorrupt, "truncated GIF colour table");
    read_table(table, entries, picture);
  }
  int transparent = -1;
  for (;;) {
    const std::uint8_t block = in.u8();
    if (in.overrun()) return fail(error, ImageStatus::kCorrupt, "GIF without an image");
    if (block == kTrailer) return fail(error, ImageStatus::kCorrupt, "GIF without an image");
    if (block == kExtension) {
      const std::uint8_t label = in.u8();
      if (label == kGraphicControl) {
        const std::uint8_t n = in.u8();
        const std::uint8_t* body = in.bytes(n);
        if (body == nullptr) return fail(error, ImageStatus::kCorrupt, "truncated GIF extension");
        if (n >= 4) transparent = (body[0] & 1) ? body[3] : -1;
      }
      skip_sub_blocks(&in);
      continue;
    }
    if (block != kImageDescriptor) return fail(error, ImageStatus::kCorrupt, "unknown GIF block %02X", block);
    break;
  }
  in.skip(4);
  const std::uint16_t w = in.le16(), h = in.le16();
  const std::uint8_t flags = in.u8();
  if (in.overrun()) return fail(error, ImageStatus::kCorrupt, "truncated GIF image descriptor");
  if (flags & kTableFlag) {
    const int entries = 2 << (flags & 7);
    const std::uint8_t* table = in.bytes(std::size_t(entries) * 3);
    if (table == nullptr) return fail(error, ImageStatus::kCorrupt, "truncated GIF colour table");
    reset_palette(picture);
    read_table(table, entries, picture);
  }
  if (transparent >= 0) picture->palette[transparent][3] = 0;
  const int min_size = in.u8();
  if (in.overrun()) return fail(error, ImageStatus::kCorrupt, "truncated GIF image data");
  if (min_size < kMinCodeSize || min_size > kMaxCodeSize)
    return fail(error, ImageStatus::kUnsupported, "GIF LZW code size %d", min_size);
  const std::size_t pixels = check_dimensions(w, h, error, "GIF");
  if (pixels == 0) return w == 0 || h == 0 ? ImageStatus::kUnsupported : ImageStatus::kCorrupt;
  // One code of at least three bits expands to at most 4095 pixels.
  if (pixels / 4095 > in.remaining() * 8 / 3)
    return fail(error, ImageStatus::kCorrupt, "GIF image data truncated");

  Block linear(pixels);
  std::uint16_t prefix[kMaxCodes];
  std::uint8_t suffix[kMaxCodes];
  std::uint8_t stack[kMaxCodes];
  const int clear = 1 << min_size, end = clear + 1;
  for (int i = 0; i < clear; ++i) {
    prefix[i] = 0;
    suffix[i] = static_cast<std::uint8_t>(i);
  }
  int bits = min_size + 1, next = clear + 2, previous = -1;
  std::size_t out = 0;
  std::uint8_t* dst = linear.get();
  SubBlockBits reader(&in);
  while (out < pixels) {
    const int code = reader.read(bits);
    if (code < 0 || code == end) break;
    if (code == clear) {
      bits = min_size + 1;
      next = clear + 2;
      previous = -1;
      continue;
    }
    if (previous < 0) {
      if (code >= clear) return fail(error, ImageStatus::kCorrupt, "bad GIF LZW code %d", code);
      dst[out++] = static_cast<std::uint8_t>(code);
      previous = code;
      continue;
    }
    if (code > next || (code == next && next >= kMaxCodes))
      return fail(error, ImageStatus::kCorrupt, "bad GIF LZW code %d", code);
    // The first byte of this code's string; for the code being defined it is the previous one's.
    int first = code < next ? code : previous;
    while (first >= clear) first = prefix[first];
    if (next < kMaxCodes) {
      prefix[next] = static_cast<std::uint16_t>(previous);
      suffix[next] = static_cast<std::uint8_t>(first);
      ++next;
      if (next == (1 << bits) && bits < kMaxCodeBits) ++bits;
    }
    int n = 0;
    for (int c = code;; c = prefix[c]) {
      stack[n++] = suffix[c];
      if (c < clear) break;
    }
    while (n > 0 && out < pixels) dst[out++] = stack[--n];
    previous = code;
  }
  if (out < pixels) return fail(error, ImageStatus::kCorrupt, "GIF image data truncated");

  allocate_indexed(picture, w, h);
  if (flags & kInterlaceFlag) {
    for (std::size_t n = 0; n < h; ++n)
      std::memcpy(picture->index + interlaced_row(n, h) * w, dst + n * w, w);
  } else {
    std::memcpy(picture->index, dst, pixels);
  }
  set_description(picture, "GIF");
  return ImageStatus::kOk;
}

// ---- writer ----------------------------------------------------------------------------------

namespace {

constexpr int kHashSize = 5003;

class LzwEncoder {
 public:
  explicit LzwEncoder(ImageBytes* out) : out_(out) {}

  void encode(const std::uint8_t* pixels, std::size_t count) {
    clear_table();
    output(kClear);
    int ent = pixels[0];
    for (std::size_t i = 1; i < count; ++i) {
      const int c = pixels[i];
      const std::int32_t key = (c << kMaxCodeBits) + ent;
      int h = (c << 4) + ent;
      if (h > kHashSize - 1) h -= kHashSize;
      const int step = h == 0 ? 1 : kHashSize - h;
      bool found = false;
      while (hash_key_[h] >= 0) {
        if (hash_key_[h] == key) {
          ent = hash_code_[h];
          found = true;
          break;
        }
        h -= step;
        if (h < 0) h += kHashSize;
      }
      if (found) continue;
      output(ent);
      ent = c;
      if (free_ < kMaxCodes) {
        hash_code_[h] = static_cast<std::uint16_t>(free_++);
        hash_key_[h] = key;
      } else {
        // The table is full: start again with a clear code.
        clear_table();
        clear_pending_ = true;
        output(kClear);
      }
    }
    output(ent);
    output(kEnd);
    if (bit_count_ > 0) put_byte(static_cast<std::uint8_t>(bit_buffer_));
    flush_block();
    const std::uint8_t terminator = 0;
    image_bytes_append(out_, &terminator, 1);
  }

 private:
  static constexpr int kClear = 256;
  static constexpr int kEnd = 257;
  static constexpr int kInitBits = 9;

  void clear_table() {
    for (auto& k : hash_key_) k = -1;
    free_ = kClear + 2;
  }

  // Writes a code at the current width, then widens the codes once the next code to be assigned
  // no longer fits (or returns to 9 bits after a clear).
  void output(int code) {
    bit_buffer_ |= std::uint32_t(code) << bit_count_;
    bit_count_ += bits_;
    while (bit_count_ >= 8) {
      put_byte(static_cast<std::uint8_t>(bit_buffer_));
      bit_buffer_ >>= 8;
      bit_count_ -= 8;
    }
    if (clear_pending_) {
      bits_ = kInitBits;
      clear_pending_ = false;
    } else if (free_ > (1 << bits_) - 1 && bits_ < kMaxCodeBits) {
      ++bits_;
    }
  }

  void put_byte(std::uint8_t b) {
    block_[block_size_++] = b;
    if (block_size_ == 255) flush_block();
  }
  void flush_block() {
    if (block_size_ == 0) return;
    const std::uint8_t n = static_cast<std::uint8_t>(block_size_);
    image_bytes_append(out_, &n, 1);
    image_bytes_append(out_, block_, block_size_);
    block_size_ = 0;
  }

  ImageBytes* out_;
  std::int32_t hash_key_[kHashSize];
  std::uint16_t hash_code_[kHashSize] = {};
  int free_ = kClear + 2;
  int bits_ = kInitBits;
  bool clear_pending_ = false;
  std::uint32_t bit_buffer_ = 0;
  int bit_count_ = 0;
  std::uint8_t block_[255];
  int block_size_ = 0;
};

void put16(std::uint8_t* p, unsigned v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

}  // namespace

bool gif_encode(const ShapeImage& source, ImageBytes* out, ImageError* error) {
  ShapeImage quantized;
  const ShapeImage* picture = &source;
  if (source.index == nullptr) {
    if (!image_quantized_copy(source, &quantized)) {
      fail(error, ImageStatus::kCorrupt, "dl1quant failed");
      return false;
    }
    picture = &quantized;
  }
  const unsigned w = static_cast<unsigned>(picture->width), h = static_cast<unsigned>(picture->height);
  if (picture->width <= 0 || picture->height <= 0 || picture->index == nullptr) {
    shape_image_release(&quantized);
    fail(error, ImageStatus::kCorrupt, "no picture to write");
    return false;
  }
  // The transparent colour is the entry of lowest alpha below 255, the first on ties.
  int transparent = -1;
  for (int i = 0; i < 256; ++i)
    if (picture->palette[i][3] < 255 &&
        (transparent < 0 || picture->palette[i][3] < picture->palette[transparent][3]))
      transparent = i;

  std::uint8_t head[13 + 768 + 8 + 10 + 1];
  std::memcpy(head, "GIF89a", 6);
  put16(head + 6, w);
  put16(head + 8, h);
  head[10] = 0xF7;
  head[11] = 0;
  head[12] = 0;
  for (int i = 0; i < 256; ++i)
    for (int k = 0; k < 3; ++k) head[13 + i * 3 + k] = picture->palette[i][k];
  std::uint8_t* p = head + 13 + 768;
  const std::uint8_t control[8] = {kExtension,
                                   kGraphicControl,
                                   4,
                                   static_cast<std::uint8_t>(transparent >= 0 ? 1 : 0),
                                   0,
                                   0,
                                   static_cast<std::uint8_t>(transparent >= 0 ? transparent : 0),
                                   0};
  std::memcpy(p, control, 8);
  p += 8;
  p[0] = kImageDescriptor;
  put16(p + 1, 0);
  put16(p + 3, 0);
  put16(p + 5, w);
  put16(p + 7, h);
  p[9] = 0;
  p[10] = 8;  // LZW minimum code size
  image_bytes_append(out, head, sizeof head);
  LzwEncoder encoder(out);
  encoder.encode(picture->index, std::size_t{w} * h);
  const std::uint8_t trailer = kTrailer;
  image_bytes_append(out, &trailer, 1);
  shape_image_release(&quantized);
  return true;
}
