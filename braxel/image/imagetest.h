// Test helpers for the image file codecs: pictures made from known pixels, encoding and decoding
// in memory, and small builders of ILBM and PEL files.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "braxel/cli/console/console.h"
#include "braxel/image/imagefile.h"

namespace imagetest {

// A picture that releases its planes.
struct Picture {
  ShapeImage image;
  Picture() = default;
  Picture(const Picture&) = delete;
  ~Picture() { shape_image_release(&image); }
  std::size_t pixels() const { return static_cast<std::size_t>(image.width) * image.height; }
  // Red, green, blue of pixel i, from the palette when indexed.
  const std::uint8_t* colour(std::size_t i) const {
    return image.index ? image.palette[image.index[i]] : image.rgb + i * 3;
  }
};

inline std::uint8_t* block(std::size_t n) {
  return static_cast<std::uint8_t*>(console.allocate(n));
}

// Indices drawn from `colours` palette entries with a random palette of opaque colours.
inline void make_indexed(Picture* p, int w, int h, unsigned seed, int colours = 256) {
  std::mt19937 rng(seed);
  p->image.width = static_cast<std::int16_t>(w);
  p->image.height = static_cast<std::int16_t>(h);
  p->image.index = block(static_cast<std::size_t>(w) * h);
  for (int i = 0; i < 256; ++i) {
    for (int k = 0; k < 3; ++k) p->image.palette[i][k] = static_cast<std::uint8_t>(rng());
    p->image.palette[i][3] = 255;
  }
  // Runs of equal indices as well as noise, so that run-length and LZW coding get both.
  for (std::size_t i = 0; i < p->pixels(); ++i)
    p->image.index[i] = static_cast<std::uint8_t>(
        (rng() % 4 == 0 && i > 0) ? rng() % colours : (i > 0 ? p->image.index[i - 1] : 0));
}

inline void make_truecolour(Picture* p, int w, int h, bool alpha, unsigned seed) {
  std::mt19937 rng(seed);
  p->image.width = static_cast<std::int16_t>(w);
  p->image.height = static_cast<std::int16_t>(h);
  p->image.rgb = block(p->pixels() * 3);
  if (alpha) p->image.alpha = block(p->pixels());
  for (std::size_t i = 0; i < p->pixels(); ++i) {
    const std::size_t x = i % w, y = i / w;
    p->image.rgb[i * 3] = static_cast<std::uint8_t>(x * 255 / (w > 1 ? w - 1 : 1));
    p->image.rgb[i * 3 + 1] = static_cast<std::uint8_t>(y * 255 / (h > 1 ? h - 1 : 1));
    p->image.rgb[i * 3 + 2] = static_cast<std::uint8_t>(rng());
    if (alpha) p->image.alpha[i] = static_cast<std::uint8_t>(rng());
  }
}

inline std::vector<std::uint8_t> encode(int format, const ShapeImage& image) {
  ImageBytes bytes;
  ImageError error;
  bool ok = false;
  switch (format) {
    case kImageBmp:
      ok = bmp_encode(image, &bytes, &error);
      break;
    case kImagePcx:
      ok = pcx_encode(image, &bytes, &error);
      break;
    case kImageGif:
      ok = gif_encode(image, &bytes, &error);
      break;
    case kImagePng:
      ok = png_encode(image, &bytes, &error);
      break;
    default:
      break;
  }
  std::vector<std::uint8_t> out;
  if (ok) out.assign(bytes.data, bytes.data + bytes.size);
  image_bytes_release(&bytes);
  return out;
}

inline ImageStatus decode(const std::vector<std::uint8_t>& bytes, Picture* p,
                          std::string* message = nullptr) {
  ImageError error;
  const ImageStatus s = image_decode(bytes.data(), bytes.size(), &p->image, &error);
  if (message) *message = error.message;
  return s;
}

inline void put_be16(std::vector<std::uint8_t>* v, unsigned x) {
  v->push_back(static_cast<std::uint8_t>(x >> 8));
  v->push_back(static_cast<std::uint8_t>(x));
}
inline void put_be32(std::vector<std::uint8_t>* v, std::uint32_t x) {
  put_be16(v, x >> 16);
  put_be16(v, x & 0xffff);
}
inline void put_chunk(std::vector<std::uint8_t>* v, const char* id, const std::vector<std::uint8_t>& body) {
  v->insert(v->end(), id, id + 4);
  put_be32(v, static_cast<std::uint32_t>(body.size()));
  v->insert(v->end(), body.begin(), body.end());
  if (body.size() & 1) v->push_back(0);
}

struct IlbmSpec {
  int width = 0, height = 0, planes = 0;
  bool compress = false;
  bool mask = false;
  std::uint32_t camg = 0;  // 0: no CAMG chunk
  std::vector<std::uint8_t> cmap;
  std::vector<std::uint8_t> pchg;  // raw PCHG chunk body, empty for none
};

// ByteRun1: repeats of three or more equal bytes, literals otherwise.
inline void byterun1(const std::uint8_t* p, std::size_t n, std::vector<std::uint8_t>* out) {
  std::size_t i = 0;
  while (i < n) {
    std::size_t run = 1;
    while (i + run < n && run < 128 && p[i + run] == p[i]) ++run;
    if (run >= 3) {
      out->push_back(static_cast<std::uint8_t>(257 - run));
      out->push_back(p[i]);
      i += run;
      continue;
    }
    std::size_t lit = 0;
    while (i + lit < n && lit < 128) {
      if (i + lit + 2 < n && p[i + lit] == p[i + lit + 1] && p[i + lit] == p[i + lit + 2]) break;
      ++lit;
    }
    out->push_back(static_cast<std::uint8_t>(lit - 1));
    out->insert(out->end(), p + i, p + i + lit);
    i += lit;
  }
}

// An ILBM file of the given pixel values (one byte per pixel, up to `planes` bits used).
inline std::vector<std::uint8_t> make_ilbm(const IlbmSpec& s, const std::vector<std::uint8_t>& values) {
  std::vector<std::uint8_t> bmhd;
  put_be16(&bmhd, s.width);
  put_be16(&bmhd, s.height);
  put_be32(&bmhd, 0);
  bmhd.push_back(static_cast<std::uint8_t>(s.planes));
  bmhd.push_back(s.mask ? 1 : 0);
  bmhd.push_back(s.compress ? 1 : 0);
  bmhd.push_back(0);
  put_be16(&bmhd, 0);
  bmhd.push_back(10);
  bmhd.push_back(11);
  put_be16(&bmhd, s.width);
  put_be16(&bmhd, s.height);
  const std::size_t plane_bytes = (s.width + 15) / 16 * 2;
  std::vector<std::uint8_t> body;
  for (int y = 0; y < s.height; ++y) {
    std::vector<std::uint8_t> row(plane_bytes * (s.planes + (s.mask ? 1 : 0)));
    for (int plane = 0; plane < s.planes + (s.mask ? 1 : 0); ++plane)
      for (int x = 0; x < s.width; ++x) {
        const bool bit = plane < s.planes ? (values[y * s.width + x] >> plane) & 1 : (x & 1);
        if (bit) row[plane * plane_bytes + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      }
    if (s.compress)
      byterun1(row.data(), row.size(), &body);
    else
      body.insert(body.end(), row.begin(), row.end());
  }
  std::vector<std::uint8_t> form;
  form.insert(form.end(), {'I', 'L', 'B', 'M'});
  put_chunk(&form, "BMHD", bmhd);
  if (!s.cmap.empty()) put_chunk(&form, "CMAP", s.cmap);
  if (s.camg) {
    std::vector<std::uint8_t> camg;
    put_be32(&camg, s.camg);
    put_chunk(&form, "CAMG", camg);
  }
  if (!s.pchg.empty()) put_chunk(&form, "PCHG", s.pchg);
  put_chunk(&form, "BODY", body);
  std::vector<std::uint8_t> file{'F', 'O', 'R', 'M'};
  put_be32(&file, static_cast<std::uint32_t>(form.size()));
  file.insert(file.end(), form.begin(), form.end());
  return file;
}

// A PEL file: palette entries (blue, green, red, 0) and rows bottom-up.
inline std::vector<std::uint8_t> make_pel(int w, int h, int count_byte, const ShapeImage& indexed) {
  std::vector<std::uint8_t> f(1078 + static_cast<std::size_t>(w) * h);
  f[0] = 'P';
  f[1] = 'L';
  f[18] = static_cast<std::uint8_t>(w), f[19] = static_cast<std::uint8_t>(w >> 8);
  f[22] = static_cast<std::uint8_t>(h), f[23] = static_cast<std::uint8_t>(h >> 8);
  f[50] = static_cast<std::uint8_t>(count_byte);
  for (int i = 0; i < 256; ++i) {
    f[54 + i * 4] = indexed.palette[i][2];
    f[54 + i * 4 + 1] = indexed.palette[i][1];
    f[54 + i * 4 + 2] = indexed.palette[i][0];
  }
  for (int y = 0; y < h; ++y) std::memcpy(&f[1078 + (h - 1 - y) * w], indexed.index + y * w, w);
  return f;
}

}  // namespace imagetest
