// Helpers shared by the image file readers and writers: a byte reader that stops at the end of
// its buffer, owned console blocks, picture allocation with size checks, and error reporting.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "braxel/cli/console/console.h"
#include "braxel/image/imagefile.h"

namespace imageio {

// Reads little- and big-endian fields; reading past the end gives zeros and sets `overrun`.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t pos() const { return pos_; }
  std::size_t size() const { return size_; }
  std::size_t remaining() const { return pos_ < size_ ? size_ - pos_ : 0; }
  bool overrun() const { return overrun_; }
  void seek(std::size_t pos) {
    if (pos > size_) {
      overrun_ = true;
      pos = size_;
    }
    pos_ = pos;
  }
  void skip(std::size_t count) {
    if (count > remaining()) {
      overrun_ = true;
      pos_ = size_;
    } else {
      pos_ += count;
    }
  }
  std::uint8_t u8() {
    if (pos_ >= size_) {
      overrun_ = true;
      return 0;
    }
    return data_[pos_++];
  }
  std::uint16_t le16() {
    const std::uint16_t a = u8();
    return static_cast<std::uint16_t>(a | (u8() << 8));
  }
  std::uint32_t le32() {
    const std::uint32_t a = le16();
    return a | (std::uint32_t{le16()} << 16);
  }
  std::uint16_t be16() {
    const std::uint16_t a = u8();
    return static_cast<std::uint16_t>((a << 8) | u8());
  }
  std::uint32_t be32() {
    const std::uint32_t a = be16();
    return (a << 16) | be16();
  }
  // A view of the next `count` bytes, or null (and overrun) when fewer remain.
  const std::uint8_t* bytes(std::size_t count) {
    if (count > remaining()) {
      overrun_ = true;
      pos_ = size_;
      return nullptr;
    }
    const std::uint8_t* p = data_ + pos_;
    pos_ += count;
    return p;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool overrun_ = false;
};

// A console block released when it goes out of scope unless taken.
class Block {
 public:
  Block() = default;
  explicit Block(std::size_t bytes)
      : p_(bytes ? static_cast<std::uint8_t*>(console.allocate(bytes)) : nullptr) {}
  ~Block() { console.release(p_); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  std::uint8_t* get() const { return p_; }
  void reset(std::uint8_t* p) {
    console.release(p_);
    p_ = p;
  }
  std::uint8_t* take() {
    std::uint8_t* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  std::uint8_t* p_ = nullptr;
};

ImageStatus fail(ImageError* error, ImageStatus status, const char* format, ...) BRAXEL_PRINTF(3, 4);

// Checks the dimensions against the record's 16-bit fields and the pixel limit, and that the
// pixel count times `bytes_per_pixel` fits. Gives the pixel count, or 0 with a message.
std::size_t check_dimensions(std::uint64_t width, std::uint64_t height, ImageError* error, const char* kind);

// Allocates the planes of an empty picture of the given size.
void allocate_indexed(ShapeImage* picture, int width, int height);
void allocate_truecolour(ShapeImage* picture, int width, int height, bool alpha);

// Fills all 256 palette alphas with 255 and the colours with black.
void reset_palette(ShapeImage* picture);

void set_description(ShapeImage* picture, const char* text);

}  // namespace imageio
