// Tests of the image file readers, writers and finishing: round trips in memory, hand-made files
// for the cases the writers never produce, unsupported variants, damaged input and the file-level
// helpers' fatal errors.
#include "braxel/image/imagefile.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "braxel/image/imagetest.h"

using namespace imagetest;

namespace {

const bool kConsoleReady = (console_init(), true);

const char* format_name(int f) {
  static const char* names[] = {"bmp", "gif", "ilbm", "jpeg", "pcx", "png", "pel"};
  return f >= 0 && f <= 6 ? names[f] : "?";
}

enum class Kind { kIndexed, kTrueColour, kTrueColourAlpha };

struct RoundTrip {
  int format;
  Kind kind;
  int width, height;
};

std::string round_trip_name(const ::testing::TestParamInfo<RoundTrip>& info) {
  const RoundTrip& c = info.param;
  static const char* kinds[] = {"indexed", "rgb", "rgba"};
  return std::string(format_name(c.format)) + "_" + kinds[static_cast<int>(c.kind)] + "_" +
         std::to_string(c.width) + "x" + std::to_string(c.height);
}

class CodecRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

// What each writer stores reads back unchanged: indices and palette of an indexed picture; the
// exact colours of a true-colour one in BMP and PNG (with alpha in PNG); and in PCX and GIF the
// quantized picture that finishing would make.
TEST_P(CodecRoundTrip, ReadsBackWhatWasWritten) {
  ASSERT_TRUE(kConsoleReady);
  const RoundTrip& c = GetParam();
  Picture source;
  if (c.kind == Kind::kIndexed)
    make_indexed(&source, c.width, c.height, c.width * 31 + c.height);
  else
    make_truecolour(&source, c.width, c.height, c.kind == Kind::kTrueColourAlpha, c.width + c.height);
  const auto bytes = encode(c.format, source.image);
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(image_identify(bytes.data(), bytes.size()), c.format);
  Picture back;
  std::string message;
  ASSERT_EQ(decode(bytes, &back, &message), ImageStatus::kOk) << message;
  ASSERT_EQ(back.image.width, c.width);
  ASSERT_EQ(back.image.height, c.height);

  const bool lossless_rgb = c.format == kImageBmp || c.format == kImagePng;
  if (c.kind == Kind::kIndexed || !lossless_rgb) {
    Picture expected;
    const ShapeImage* want = &source.image;
    if (c.kind != Kind::kIndexed) {
      ASSERT_TRUE(image_quantized_copy(source.image, &expected.image));
      want = &expected.image;
    }
    ASSERT_NE(back.image.index, nullptr);
    EXPECT_EQ(0, std::memcmp(back.image.index, want->index, source.pixels()));
    for (int i = 0; i < 256; ++i)
      for (int k = 0; k < 3; ++k) ASSERT_EQ(back.image.palette[i][k], want->palette[i][k]) << i;
  } else {
    ASSERT_NE(back.image.rgb, nullptr);
    EXPECT_EQ(0, std::memcmp(back.image.rgb, source.image.rgb, source.pixels() * 3));
    if (c.format == kImagePng && source.image.alpha) {
      ASSERT_NE(back.image.alpha, nullptr);
      EXPECT_EQ(0, std::memcmp(back.image.alpha, source.image.alpha, source.pixels()));
    }
  }
}

std::vector<RoundTrip> round_trips() {
  std::vector<RoundTrip> out;
  for (int format : {kImageBmp, kImagePcx, kImageGif, kImagePng})
    for (Kind kind : {Kind::kIndexed, Kind::kTrueColour, Kind::kTrueColourAlpha})
      for (auto [w, h] : {std::pair{1, 1}, {3, 5}, {67, 13}, {300, 220}}) out.push_back({format, kind, w, h});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Formats, CodecRoundTrip, ::testing::ValuesIn(round_trips()), round_trip_name);

// ---- PCX ---------------------------------------------------------------------------------------

std::vector<std::uint8_t> pcx_file(int w, int h, int bits, int planes, int bytes_per_line,
                                   const std::vector<std::uint8_t>& data, bool palette = true) {
  std::vector<std::uint8_t> f(128);
  f[0] = 0x0A, f[1] = 5, f[2] = 1, f[3] = static_cast<std::uint8_t>(bits);
  f[8] = static_cast<std::uint8_t>(w - 1), f[9] = static_cast<std::uint8_t>((w - 1) >> 8);
  f[10] = static_cast<std::uint8_t>(h - 1), f[11] = static_cast<std::uint8_t>((h - 1) >> 8);
  f[65] = static_cast<std::uint8_t>(planes);
  f[66] = static_cast<std::uint8_t>(bytes_per_line);
  f.insert(f.end(), data.begin(), data.end());
  if (palette) {
    f.push_back(0x0C);
    for (int i = 0; i < 768; ++i) f.push_back(static_cast<std::uint8_t>(i / 3));
  }
  return f;
}

// A run of 5 at the start of a line fills pixels 0 to 4; a run longer than the rest of a line
// stops at the line's end and the next line starts with the next code.
TEST(Pcx, RunsFillFromTheLineStartAndStopAtItsEnd) {
  const auto file = pcx_file(8, 2, 8, 1, 8, {0xC5, 7, 1, 0xC5, 9, /* line 1 */ 0xC1, 0xC9, 0xC7, 4});
  Picture p;
  ASSERT_EQ(decode(file, &p), ImageStatus::kOk);
  const std::uint8_t want[16] = {7, 7, 7, 7, 7, 1, 9, 9, 0xC9, 4, 4, 4, 4, 4, 4, 4};
  EXPECT_EQ(0, std::memcmp(p.image.index, want, 16));
  EXPECT_EQ(p.image.palette[5][0], 5);
}

TEST(Pcx, WriterRunsFollowTheRules) {
  Picture p;
  make_indexed(&p, 4, 1, 1);
  const std::uint8_t row[4] = {9, 9, 0xC7, 0xC7};  // no run of three: literals, C1-escaped
  std::memcpy(p.image.index, row, 4);
  auto file = encode(kImagePcx, p.image);
  ASSERT_GT(file.size(), 128u + 769u);
  const std::vector<std::uint8_t> coded(file.begin() + 128, file.end() - 769);
  EXPECT_EQ(coded, (std::vector<std::uint8_t>{9, 9, 0xC1, 0xC7, 0xC1, 0xC7}));
  std::memset(p.image.index, 5, 4);  // a run of four
  file = encode(kImagePcx, p.image);
  EXPECT_EQ(std::vector<std::uint8_t>(file.begin() + 128, file.end() - 769),
            (std::vector<std::uint8_t>{0xC4, 5}));
}

// ---- GIF ---------------------------------------------------------------------------------------

TEST(Gif, OnePixelFileHasTheExactLayout) {
  Picture p;
  make_indexed(&p, 1, 1, 3);
  p.image.index[0] = 0x41;
  p.image.palette[7][3] = 100;
  p.image.palette[9][3] = 0;
  p.image.palette[12][3] = 0;
  const auto file = encode(kImageGif, p.image);
  ASSERT_EQ(file.size(), 13u + 768 + 8 + 10 + 1 + 6 + 1);
  EXPECT_EQ(0, std::memcmp(file.data(), "GIF89a\x01\x00\x01\x00\xF7\x00\x00", 13));
  EXPECT_EQ(file[13 + 3 * 9 + 1], p.image.palette[9][1]);
  const std::vector<std::uint8_t> tail(file.begin() + 13 + 768, file.end());
  // Control extension with transparent entry 9 (lowest alpha, first on ties); descriptor; LZW
  // size 8; codes 256, 41, 257 in 9 bits; terminator; trailer.
  EXPECT_EQ(tail, (std::vector<std::uint8_t>{0x21, 0xF9, 4, 1, 0, 0, 9, 0,    ',',  0,    0,    0, 0,
                                             1,    0,    1, 0, 0, 8, 4, 0x00, 0x83, 0x04, 0x04, 0, ';'}));
  Picture back;
  ASSERT_EQ(decode(file, &back), ImageStatus::kOk);
  EXPECT_EQ(back.image.palette[9][3], 0);
  EXPECT_EQ(back.image.palette[7][3], 255);
}

// Code size 2, a local table, interlaced rows and a code reused as soon as it is defined.
TEST(Gif, ReadsSmallCodesLocalTablesAndInterlace) {
  // 1 x 5 picture, interlaced: stored rows 0, 4, 2, 1, 3 hold values 0, 1, 1, 1, 2.
  // LZW (min size 2): clear 4, then 0, 1, 7 (defined by its own use: 1 1), then at 4 bits 2
  // and the end code 5.
  std::vector<std::uint8_t> f = {'G', 'I', 'F', '8', '7', 'a', 1, 0, 5, 0, 0x80, 0, 0};
  for (int i = 0; i < 2 * 3; ++i) f.push_back(0xEE);  // global table of 2, not used
  f.insert(f.end(), {',', 0, 0, 0, 0, 1, 0, 5, 0, 0x80 | 0x40 | 1});
  for (int i = 0; i < 4; ++i) f.insert(f.end(), {static_cast<std::uint8_t>(i * 10), 0, 0});
  f.push_back(2);
  const std::uint32_t bits = 4 | (0 << 3) | (1 << 6) | (7 << 9) | (2 << 12) | (5 << 16);
  f.insert(f.end(), {3, static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                     static_cast<std::uint8_t>(bits >> 16), 0, ';'});
  Picture p;
  std::string message;
  ASSERT_EQ(decode(f, &p, &message), ImageStatus::kOk) << message;
  const std::uint8_t want[5] = {0, 1, 1, 2, 1};  // rows 0..4
  EXPECT_EQ(0, std::memcmp(p.image.index, want, 5));
  EXPECT_EQ(p.image.palette[2][0], 20);
}

// Pictures long enough to fill the 4096-entry table several times need clear codes.
TEST(Gif, LongNoisyPicturesRestartTheTable) {
  Picture p;
  p.image.width = 400;
  p.image.height = 300;
  p.image.index = block(p.pixels());
  std::mt19937 rng(5);
  for (std::size_t i = 0; i < p.pixels(); ++i) p.image.index[i] = static_cast<std::uint8_t>(rng());
  const auto file = encode(kImageGif, p.image);
  Picture back;
  ASSERT_EQ(decode(file, &back), ImageStatus::kOk);
  EXPECT_EQ(0, std::memcmp(back.image.index, p.image.index, p.pixels()));
}

// ---- ILBM and PEL ------------------------------------------------------------------------------

std::vector<std::uint8_t> grey_cmap(int n) {
  std::vector<std::uint8_t> c;
  for (int i = 0; i < n; ++i)
    c.insert(c.end(), {static_cast<std::uint8_t>(i * 4), static_cast<std::uint8_t>(i * 2),
                       static_cast<std::uint8_t>(255 - i)});
  return c;
}

struct IlbmCase {
  const char* name;
  int planes;
  bool compress, mask;
};

class IlbmIndexed : public ::testing::TestWithParam<IlbmCase> {};

TEST_P(IlbmIndexed, DecodesPlanesToIndices) {
  const IlbmCase& c = GetParam();
  IlbmSpec s;
  s.width = 37, s.height = 9, s.planes = c.planes, s.compress = c.compress, s.mask = c.mask;
  s.cmap = grey_cmap(1 << c.planes);
  std::vector<std::uint8_t> values(37 * 9);
  for (std::size_t i = 0; i < values.size(); ++i)
    values[i] = static_cast<std::uint8_t>((i / 5 * 7) & ((1 << c.planes) - 1));
  Picture p;
  std::string message;
  ASSERT_EQ(decode(make_ilbm(s, values), &p, &message), ImageStatus::kOk) << message;
  ASSERT_NE(p.image.index, nullptr);
  EXPECT_EQ(0, std::memcmp(p.image.index, values.data(), values.size()));
  EXPECT_EQ(p.image.palette[1][0], 4);
  if (c.planes == 6) {
    // Extra-half-brite: colours 32..63 are 0..31 halved.
    EXPECT_EQ(p.image.palette[32 + 3][0], 6);
    EXPECT_EQ(p.image.palette[32 + 3][2], (255 - 3) / 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Planes, IlbmIndexed,
                         ::testing::Values(IlbmCase{"one_raw", 1, false, false},
                                           IlbmCase{"four_rle", 4, true, false},
                                           IlbmCase{"ehb_rle", 6, true, false},
                                           IlbmCase{"eight_masked", 8, false, true},
                                           IlbmCase{"eight_rle_masked", 8, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Hold-and-modify: control 0 takes a palette colour, 1 changes blue, 2 red, 3 green; the data
// bits fill the component from the top (4 bits times 17, or 6 bits with their top two repeated).
TEST(Ilbm, HoldAndModifyGivesTrueColour) {
  struct HamCase {
    int planes;
    std::vector<std::uint8_t> values;
    std::vector<std::uint8_t> rgb;
  } cases[] = {
      {6, {0x02, 0x20 | 15, 0x30 | 0, 0x10 | 8}, {8, 4, 253, 255, 4, 253, 255, 0, 253, 255, 0, 136}},
      {8, {0x03, 0x80 | 63, 0xC0 | 1, 0x40 | 32}, {12, 6, 252, 255, 6, 252, 255, 4, 252, 255, 4, 130}},
  };
  for (const HamCase& c : cases) {
    IlbmSpec s;
    s.width = 4, s.height = 1, s.planes = c.planes, s.camg = 0x800, s.compress = c.planes == 8;
    s.cmap = grey_cmap(c.planes == 6 ? 16 : 64);
    Picture p;
    ASSERT_EQ(decode(make_ilbm(s, c.values), &p), ImageStatus::kOk) << c.planes;
    ASSERT_EQ(p.image.index, nullptr);
    EXPECT_EQ(std::vector<std::uint8_t>(p.image.rgb, p.image.rgb + 12), c.rgb) << c.planes;
  }
}

TEST(Ilbm, LinePalettesChangeColoursFromTheirLine) {
  IlbmSpec s;
  s.width = 2, s.height = 3, s.planes = 2;
  s.cmap = grey_cmap(4);
  // Small changes from line 1: register 1 becomes 12-bit F80.
  std::vector<std::uint8_t> pchg;
  put_be16(&pchg, 0), put_be16(&pchg, 1), put_be16(&pchg, 1),
      put_be16(&pchg, 1);  // comp, flags, start, count
  put_be16(&pchg, 1), put_be16(&pchg, 0), put_be16(&pchg, 1),
      put_be16(&pchg, 1);  // changed, min, max, maxchg
  put_be32(&pchg, 1);
  put_be32(&pchg, 0x80000000u);  // line 1 changes
  pchg.insert(pchg.end(), {1, 0});
  put_be16(&pchg, 0x1F80);
  s.pchg = pchg;
  Picture p;
  std::string message;
  ASSERT_EQ(decode(make_ilbm(s, {1, 0, 1, 0, 1, 0}), &p, &message), ImageStatus::kOk) << message;
  ASSERT_NE(p.image.rgb, nullptr);
  EXPECT_EQ(p.image.rgb[0], 4);    // line 0: base colour 1
  EXPECT_EQ(p.image.rgb[6], 255);  // line 1: changed
  EXPECT_EQ(p.image.rgb[7], 136);
  EXPECT_EQ(p.image.rgb[12], 255);  // line 2 keeps the change
  EXPECT_EQ(p.image.rgb[15], 0);    // colour 0 unchanged
}

TEST(Pel, ReadsBottomUpRowsAndColourCount) {
  Picture source;
  make_indexed(&source, 5, 3, 9);
  for (int count : {0, 16}) {
    Picture p;
    ASSERT_EQ(decode(make_pel(5, 3, count, source.image), &p), ImageStatus::kOk);
    EXPECT_EQ(0, std::memcmp(p.image.index, source.image.index, 15));
    EXPECT_EQ(p.image.palette[15][0], source.image.palette[15][0]);
    EXPECT_EQ(p.image.palette[200][0], count == 0 ? source.image.palette[200][0] : 0);
  }
}

// ---- finishing ---------------------------------------------------------------------------------

// A 24-bit PNG becomes indices 1..255 with entry 0 left free as transparent black.
TEST(Finish, TrueColourLeavesIndexZeroFree) {
  Picture source;
  make_truecolour(&source, 120, 90, false, 4);
  Picture p;
  ASSERT_EQ(decode(encode(kImagePng, source.image), &p), ImageStatus::kOk);
  ASSERT_TRUE(image_finish(&p.image));
  for (std::size_t i = 0; i < p.pixels(); ++i) ASSERT_GE(p.image.index[i], 1);
  EXPECT_EQ(p.image.palette[0][0] | p.image.palette[0][1] | p.image.palette[0][2] | p.image.palette[0][3], 0);
  for (int i = 1; i < 256; ++i) ASSERT_EQ(p.image.palette[i][3], 255);
  ASSERT_NE(p.image.alpha, nullptr);
  EXPECT_EQ(p.image.alpha[0], 255);
}

TEST(Finish, IndexedGetsColoursAndPaletteAlphas) {
  for (bool transparent : {false, true}) {
    Picture p;
    make_indexed(&p, 10, 4, 2);
    if (transparent) p.image.palette[p.image.index[0]][3] = 0;
    ASSERT_TRUE(image_finish(&p.image));
    for (std::size_t i = 0; i < p.pixels(); ++i) {
      ASSERT_EQ(0, std::memcmp(p.image.rgb + i * 3, p.image.palette[p.image.index[i]], 3));
      ASSERT_EQ(p.image.alpha[i], transparent ? p.image.palette[p.image.index[i]][3] : 255);
    }
  }
}

// ---- unsupported and damaged input ---------------------------------------------------------------

std::vector<std::uint8_t> bmp_with(int bits, int compression) {
  Picture p;
  make_indexed(&p, 4, 4, 1);
  auto f = encode(kImageBmp, p.image);
  f[28] = static_cast<std::uint8_t>(bits);
  f[30] = static_cast<std::uint8_t>(compression);
  return f;
}

void put_le(std::vector<std::uint8_t>* v, std::uint32_t x, int bytes) {
  for (int i = 0; i < bytes; ++i) v->push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

// A BMP file with an info header of `header` bytes: the masks go into a 108- or 124-byte header,
// or after a 40-byte one; then `colours` grey palette entries and the pixel bytes as given.
std::vector<std::uint8_t> bmp_file(std::uint32_t header, int w, int h, int bits, int compression,
                                   const std::vector<std::uint32_t>& masks, int colours,
                                   const std::vector<std::uint8_t>& pixels) {
  std::vector<std::uint8_t> info;
  put_le(&info, header, 4);
  put_le(&info, static_cast<std::uint32_t>(w), 4);
  put_le(&info, static_cast<std::uint32_t>(h), 4);
  put_le(&info, 1, 2);
  put_le(&info, static_cast<std::uint32_t>(bits), 2);
  put_le(&info, static_cast<std::uint32_t>(compression), 4);
  put_le(&info, static_cast<std::uint32_t>(pixels.size()), 4);
  put_le(&info, 0, 8);
  put_le(&info, static_cast<std::uint32_t>(colours), 4);
  put_le(&info, 0, 4);
  for (std::uint32_t m : masks) put_le(&info, m, 4);
  info.resize(std::max<std::size_t>(info.size(), header), 0);
  for (int i = 0; i < colours; ++i)
    info.insert(info.end(), {std::uint8_t(i), std::uint8_t(i), std::uint8_t(i), 0});
  std::vector<std::uint8_t> f{'B', 'M'};
  put_le(&f, static_cast<std::uint32_t>(14 + info.size() + pixels.size()), 4);
  put_le(&f, 0, 4);
  put_le(&f, static_cast<std::uint32_t>(14 + info.size()), 4);
  f.insert(f.end(), info.begin(), info.end());
  f.insert(f.end(), pixels.begin(), pixels.end());
  return f;
}

std::vector<std::uint8_t> rle8(int w, int h, const std::vector<std::uint8_t>& codes) {
  return bmp_file(40, w, h, 8, 1, {}, 256, codes);
}

void put_png_chunk(std::vector<std::uint8_t>* f, const char* id, const std::vector<std::uint8_t>& body) {
  put_be32(f, static_cast<std::uint32_t>(body.size()));
  const std::size_t start = f->size();
  f->insert(f->end(), id, id + 4);
  f->insert(f->end(), body.begin(), body.end());
  put_be32(f, static_cast<std::uint32_t>(crc32(0, f->data() + start, static_cast<uInt>(f->size() - start))));
}

// A PNG file whose header states the given size and kind, over the given filtered rows.
std::vector<std::uint8_t> png_file(int w, int h, int depth, int type, const std::vector<std::uint8_t>& rows,
                                   const std::vector<std::uint8_t>& trns = {}) {
  std::vector<std::uint8_t> f{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<std::uint8_t> ihdr;
  put_be32(&ihdr, static_cast<std::uint32_t>(w));
  put_be32(&ihdr, static_cast<std::uint32_t>(h));
  ihdr.insert(ihdr.end(), {std::uint8_t(depth), std::uint8_t(type), 0, 0, 0});
  put_png_chunk(&f, "IHDR", ihdr);
  if (!trns.empty()) put_png_chunk(&f, "tRNS", trns);
  std::vector<std::uint8_t> packed(compressBound(static_cast<uLong>(rows.size())));
  uLongf n = static_cast<uLongf>(packed.size());
  compress(packed.data(), &n, rows.data(), static_cast<uLong>(rows.size()));
  packed.resize(n);
  put_png_chunk(&f, "IDAT", packed);
  put_png_chunk(&f, "IEND", {});
  return f;
}

// ---- variants editors write, decoded exactly ---------------------------------------------------

// A 1 x 1 BMP of one pixel value under the given masks (red, green, blue, alpha).
std::vector<std::uint8_t> bmp_masked(int bits, const std::vector<std::uint32_t>& masks, std::uint32_t pixel) {
  std::vector<std::uint8_t> px;
  put_le(&px, pixel, 4);
  return bmp_file(124, 1, 1, bits, 3, masks, 0, px);
}

// Fields narrower than 8 bits repeat their bits, so that every field's top value is 255 (an
// opaque 1-bit alpha is opaque); wider fields keep their top 8 bits.
TEST(Bmp, MaskFieldsSpanTheFullRange) {
  struct Case {
    int bits;
    std::vector<std::uint32_t> masks;
    std::uint32_t pixel;
    std::uint8_t want[4];
  } cases[] = {
      {16, {0xF800, 0x7E0, 0x1F}, 0xFFFF, {255, 255, 255, 255}},
      {16, {0xF800, 0x7E0, 0x1F}, 0x0821, {8, 4, 8, 255}},
      {16, {0x7C00, 0x3E0, 0x1F, 0x8000}, 0x8000 | (31 << 10), {255, 0, 0, 255}},
      {16, {0x7C00, 0x3E0, 0x1F, 0x8000}, 0x7FFF, {255, 255, 255, 0}},
      {16, {0xF00, 0xF0, 0xF, 0xF000}, 0x1234, {0x22, 0x33, 0x44, 0x11}},
      {16, {0xF00, 0xF0, 0xF, 0xF000}, 0xFFFF, {255, 255, 255, 255}},
      {32,
       {0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000},
       0x80000000 | (0x200u << 20) | 0x3FF,
       {0x80, 0, 255, 0xAA}},
      {32, {0xFF, 0xFF00, 0xFF0000, 0xFF000000}, 0x04030201, {1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    Picture p;
    std::string message;
    ASSERT_EQ(decode(bmp_masked(c.bits, c.masks, c.pixel), &p, &message), ImageStatus::kOk) << message;
    ASSERT_NE(p.image.rgb, nullptr);
    EXPECT_EQ(0, std::memcmp(p.image.rgb, c.want, 3)) << std::hex << c.pixel;
    EXPECT_EQ(p.image.alpha ? p.image.alpha[0] : 255, c.want[3]) << std::hex << c.pixel;
  }
}

// Runs, literals (padded to even bytes), end of line, offsets and end of picture; runs may fill
// the padding of the stored row.
TEST(Bmp, RunLengthCodesPlaceTheirPixels) {
  struct Case {
    std::vector<std::uint8_t> file;
    int width, height;
    std::vector<std::uint8_t> want;  // top row first
  } cases[] = {
      {rle8(6, 3, {3, 7, 0, 3, 1, 2, 3, 0, 0, 0, 0, 2, 2, 1, 2, 9, 0, 1}),
       6,
       3,
       {0, 0, 9, 9, 0, 0, /**/ 0, 0, 0, 0, 0, 0, /**/ 7, 7, 7, 1, 2, 3}},
      {rle8(3, 1, {4, 5}), 3, 1, {5, 5, 5}},
      {bmp_file(40, 5, 1, 4, 2, {}, 16, {0, 3, 0x12, 0x30, 2, 0x45, 0, 1}), 5, 1, {1, 2, 3, 4, 5}},
  };
  for (const Case& c : cases) {
    Picture p;
    std::string message;
    ASSERT_EQ(decode(c.file, &p, &message), ImageStatus::kOk) << message;
    ASSERT_EQ(p.image.width, c.width);
    ASSERT_EQ(p.image.height, c.height);
    EXPECT_EQ(std::vector<std::uint8_t>(p.image.index, p.image.index + p.pixels()), c.want);
  }
}

std::vector<std::uint8_t> with_header_palette(std::vector<std::uint8_t> f,
                                              const std::vector<std::uint8_t>& rgb) {
  std::copy(rgb.begin(), rgb.end(), f.begin() + 16);
  return f;
}

// Bit planes and nibbles take the header's colours, a 1-bit file without them is black and
// white; 8-bit planes give true colour (and alpha), with runs that cross from plane to plane.
TEST(Pcx, PlanesOfEveryDepth) {
  const std::vector<std::uint8_t> red_blue{255, 0, 0, 0, 0, 255};
  const std::vector<std::uint8_t> ega{0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 6, 6, 6};
  struct Case {
    const char* name;
    std::vector<std::uint8_t> file;
    std::vector<std::uint8_t> rgb, alpha;
  } cases[] = {
      {"mono",
       pcx_file(4, 1, 1, 1, 2, {0xA0, 0}, false),
       {255, 255, 255, 0, 0, 0, 255, 255, 255, 0, 0, 0},
       {}},
      {"mono_palette",
       with_header_palette(pcx_file(4, 1, 1, 1, 2, {0xA0, 0}, false), red_blue),
       {0, 0, 255, 255, 0, 0, 0, 0, 255, 255, 0, 0},
       {}},
      {"ega",
       with_header_palette(pcx_file(2, 1, 1, 4, 2, {0x80, 0, 0x40, 0, 0xC1, 0xC0, 0, 0, 0}, false), ega),
       {5, 5, 5, 6, 6, 6},
       {}},
      {"nibbles",
       with_header_palette(pcx_file(3, 1, 4, 1, 2, {0x12, 0x30}, false), ega),
       {1, 1, 1, 2, 2, 2, 3, 3, 3},
       {}},
      {"rgb", pcx_file(2, 1, 8, 3, 2, {0xC3, 10, 20, 30, 40}, false), {10, 10, 30, 10, 20, 40}, {}},
      {"rgba", pcx_file(1, 1, 8, 4, 1, {1, 2, 3, 4}, false), {1, 2, 3}, {4}},
  };
  for (const Case& c : cases) {
    Picture p;
    std::string message;
    ASSERT_EQ(decode(c.file, &p, &message), ImageStatus::kOk) << c.name << ": " << message;
    std::vector<std::uint8_t> rgb;
    for (std::size_t i = 0; i < p.pixels(); ++i) rgb.insert(rgb.end(), p.colour(i), p.colour(i) + 3);
    EXPECT_EQ(rgb, c.rgb) << c.name;
    if (c.alpha.empty()) {
      EXPECT_EQ(p.image.alpha, nullptr) << c.name;
    } else {
      ASSERT_NE(p.image.alpha, nullptr) << c.name;
      EXPECT_EQ(std::vector<std::uint8_t>(p.image.alpha, p.image.alpha + p.pixels()), c.alpha) << c.name;
    }
  }
}

// Grey below 16 bits becomes indexed over its levels with the transparent level's alpha 0; 16-bit
// grey with a transparent level and RGB with one become true colour with alpha.
TEST(Png, GreyLevelsAndTransparentColours) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> file;
    bool indexed;
    std::vector<std::uint8_t> rgba;
  } cases[] = {
      {"grey2_trns",
       png_file(4, 1, 2, 0, {0, 0x1B}, {0, 2}),
       true,
       {0, 0, 0, 255, 85, 85, 85, 255, 170, 170, 170, 0, 255, 255, 255, 255}},
      {"grey1", png_file(2, 1, 1, 0, {0, 0x40}), true, {0, 0, 0, 255, 255, 255, 255, 255}},
      {"grey16",
       png_file(2, 1, 16, 0, {0, 0x12, 0x34, 0xFF, 0xFF}),
       true,
       {18, 18, 18, 255, 255, 255, 255, 255}},
      {"grey16_trns",
       png_file(2, 1, 16, 0, {0, 0x12, 0x34, 0x12, 0x35}, {0x12, 0x34}),
       false,
       {18, 18, 18, 0, 18, 18, 18, 255}},
      {"grey_alpha16", png_file(1, 1, 16, 4, {0, 0x80, 0x00, 0x40, 0x00}), false, {127, 127, 127, 63}},
      {"rgb_trns",
       png_file(2, 1, 8, 2, {0, 1, 2, 3, 4, 5, 6}, {0, 1, 0, 2, 0, 3}),
       false,
       {1, 2, 3, 0, 4, 5, 6, 255}},
  };
  for (const Case& c : cases) {
    Picture p;
    std::string message;
    ASSERT_EQ(decode(c.file, &p, &message), ImageStatus::kOk) << c.name << ": " << message;
    EXPECT_EQ(p.image.index != nullptr, c.indexed) << c.name;
    std::vector<std::uint8_t> rgba;
    for (std::size_t i = 0; i < p.pixels(); ++i) {
      rgba.insert(rgba.end(), p.colour(i), p.colour(i) + 3);
      rgba.push_back(p.image.index   ? p.image.palette[p.image.index[i]][3]
                     : p.image.alpha ? p.image.alpha[i]
                                     : 255);
    }
    EXPECT_EQ(rgba, c.rgba) << c.name;
  }
}

struct BadCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  ImageStatus status;
};

class Unsupported : public ::testing::TestWithParam<int> {};

// Variants no editor writes, and damaged or hostile files of the kinds that are read.
std::vector<BadCase> bad_cases() {
  constexpr auto kUnsupported = ImageStatus::kUnsupported;
  constexpr auto kCorrupt = ImageStatus::kCorrupt;
  std::vector<BadCase> out;
  out.push_back({"bmp_2bit", bmp_file(40, 4, 1, 2, 0, {}, 4, {0, 0, 0, 0}), kUnsupported});
  out.push_back({"bmp_embedded_jpeg", bmp_with(24, 4), kUnsupported});
  out.push_back({"bmp_embedded_png", bmp_with(24, 5), kUnsupported});
  out.push_back({"bmp_rle8_at_24bit", bmp_with(24, 1), kUnsupported});
  out.push_back({"bmp_rle8_run_past_row", rle8(4, 2, {5, 1, 0, 1}), kCorrupt});
  out.push_back({"bmp_rle8_literal_past_row", rle8(4, 2, {0, 5, 1, 2, 3, 4, 5, 0, 0, 1}), kCorrupt});
  out.push_back({"bmp_rle8_past_picture", rle8(4, 2, {4, 1, 0, 0, 4, 1, 0, 0, 2, 3, 0, 1}), kCorrupt});
  out.push_back({"bmp_rle8_delta_past_picture", rle8(4, 2, {0, 2, 1, 3, 0, 1}), kCorrupt});
  out.push_back({"bmp_rle8_literal_truncated", rle8(4, 2, {0, 4, 1, 2}), kCorrupt});
  out.push_back({"bmp_rle4_run_past_row", bmp_file(40, 4, 1, 4, 2, {}, 16, {9, 0x12, 0, 1}), kCorrupt});
  out.push_back({"bmp_rle_top_down", rle8(4, -2, {4, 1, 0, 1}), kCorrupt});
  const std::vector<std::uint8_t> px16(8);
  out.push_back({"bmp_mask_zero", bmp_file(40, 2, 2, 16, 3, {0, 0x3E0, 0x1F}, 0, px16), kCorrupt});
  out.push_back({"bmp_masks_overlap", bmp_file(40, 2, 2, 16, 3, {0xF800, 0xFE0, 0x1F}, 0, px16), kCorrupt});
  out.push_back({"bmp_alpha_mask_overlaps",
                 bmp_file(124, 1, 1, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0xFF}, 0, {1, 2, 3, 4}), kCorrupt});
  out.push_back({"bmp_mask_split", bmp_file(40, 2, 2, 16, 3, {0xF00F, 0x7E0, 0x10}, 0, px16), kCorrupt});
  out.push_back(
      {"bmp_mask_beyond_pixel", bmp_file(40, 2, 2, 16, 3, {0x1F0000, 0x7E0, 0x1F}, 0, px16), kCorrupt});
  auto masks_cut = bmp_file(124, 1, 1, 16, 3, {}, 0, {});
  masks_cut.resize(14 + 44);
  out.push_back({"bmp_masks_truncated", masks_cut, kCorrupt});
  out.push_back({"pcx_8bit_without_palette",
                 pcx_file(8, 2, 8, 1, 8, std::vector<std::uint8_t>(16, 0x11), false), kUnsupported});
  out.push_back({"pcx_cga_4_colours", pcx_file(8, 1, 2, 1, 2, {0x11, 0x11}), kUnsupported});
  out.push_back({"pcx_truncated", pcx_file(64, 64, 8, 1, 64, {0xFF, 1}), kCorrupt});
  out.push_back({"pcx_24bit_truncated", pcx_file(64, 64, 8, 3, 64, {0xFF, 1}, false), kCorrupt});
  out.push_back({"pcx_planes_short_of_row", pcx_file(8, 1, 8, 3, 4, std::vector<std::uint8_t>(12, 1), false),
                 kCorrupt});
  out.push_back({"pcx_bit_planes_short_of_row",
                 pcx_file(20, 1, 1, 4, 2, std::vector<std::uint8_t>(8, 1), false), kCorrupt});
  out.push_back(
      {"gif_code_size_12",
       {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ',', 0, 0, 0, 0, 1, 0, 1, 0, 0, 12, 1, 0, 0, ';'},
       kUnsupported});
  out.push_back({"gif_no_image", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ';'}, kCorrupt});
  out.push_back({"gif_huge",
                 {'G', 'I', 'F', '8', '9',  'a',  1,    0,    1, 0, 0, 0, 0, ',',
                  0,   0,   0,   0,   0xFF, 0x7F, 0xFF, 0x7F, 0, 8, 1, 0, 0, ';'},
                 kCorrupt});
  IlbmSpec none;
  none.width = 4, none.height = 4, none.planes = 0;
  out.push_back({"ilbm_no_planes", make_ilbm(none, std::vector<std::uint8_t>(16)), kUnsupported});
  // Headers claiming 16-bit grey over rows of 8-bit grey: the data runs out, or could never
  // hold a picture of the stated size.
  const std::vector<std::uint8_t> rows8(8 * 9, 0);
  out.push_back({"png_16bit_lying_header", png_file(8, 8, 16, 0, rows8), kCorrupt});
  out.push_back({"png_16bit_huge_lying_header", png_file(4000, 4000, 16, 4, rows8), kCorrupt});
  out.push_back({"not_an_image", {'X', 'Y', 'Z'}, ImageStatus::kNotImage});
  // Six data planes of HAM leave four bits; only six and eight planes can hold HAM.
  IlbmSpec ham5;
  ham5.width = 4, ham5.height = 1, ham5.planes = 5, ham5.camg = 0x800;
  out.push_back({"ilbm_ham5", make_ilbm(ham5, std::vector<std::uint8_t>(4)), kUnsupported});
  return out;
}

TEST(BadInput, UnsupportedVariantsAndCorruptFilesAreRefused) {
  for (const BadCase& c : bad_cases()) {
    Picture p;
    std::string message;
    const ImageStatus s = decode(c.bytes, &p, &message);
    EXPECT_EQ(s, c.status) << c.name << ": " << message;
    EXPECT_FALSE(message.empty()) << c.name;
    EXPECT_EQ(p.image.index, nullptr);
    EXPECT_EQ(p.image.rgb, nullptr);
  }
}

// Every prefix and many single-byte changes of valid files of each kind decode or give an error;
// under the sanitizers this also shows that no reader reads outside its buffer.
TEST(BadInput, TruncatedAndAlteredFilesNeverCrash) {
  std::vector<std::vector<std::uint8_t>> files;
  Picture indexed, rgb;
  make_indexed(&indexed, 23, 7, 8);
  make_truecolour(&rgb, 23, 7, true, 8);
  for (int format : {kImageBmp, kImagePcx, kImageGif, kImagePng}) {
    files.push_back(encode(format, indexed.image));
    files.push_back(encode(format, rgb.image));
  }
  IlbmSpec s;
  s.width = 23, s.height = 7, s.planes = 8, s.compress = true;
  s.cmap = grey_cmap(256);
  files.push_back(make_ilbm(s, std::vector<std::uint8_t>(indexed.image.index, indexed.image.index + 161)));
  files.push_back(make_pel(23, 7, 0, indexed.image));
  // The variants editors write, with every kind of code or field each reader has for them.
  std::vector<std::uint8_t> rle;
  for (int y = 0; y < 7; ++y) rle.insert(rle.end(), {5, 1, 0, 4, 1, 2, 3, 4, 0, 2, 3, 0, 0, 0});
  rle.insert(rle.end(), {0, 1});
  files.push_back(rle8(23, 7, rle));
  files.push_back(bmp_file(40, 9, 3, 4, 2, {}, 16, {3, 0x12, 0, 3, 0x45, 0x60, 0, 2, 1, 1, 0, 0, 0, 1}));
  files.push_back(
      bmp_file(124, 5, 3, 16, 3, {0xF00, 0xF0, 0xF, 0xF000}, 0, std::vector<std::uint8_t>(36, 0x5A)));
  files.push_back(bmp_file(124, 5, -3, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, 0,
                           std::vector<std::uint8_t>(60, 0x77)));
  files.push_back(bmp_file(40, 23, 7, 1, 0, {}, 2, std::vector<std::uint8_t>(28, 0x96)));
  files.push_back(png_file(4, 2, 2, 0, {0, 0x1B, 1, 0x1B}, {0, 2}));
  files.push_back(png_file(2, 2, 16, 0, {0, 1, 2, 3, 4, 0, 5, 6, 7, 8}, {1, 2}));
  files.push_back(png_file(2, 2, 16, 2, std::vector<std::uint8_t>(26, 0), {0, 0, 0, 0, 0, 0}));
  files.push_back(pcx_file(23, 7, 8, 3, 24, std::vector<std::uint8_t>(7 * 72, 0x33), false));
  files.push_back(pcx_file(23, 7, 8, 4, 24, std::vector<std::uint8_t>(7 * 48, 0xC2), false));
  files.push_back(pcx_file(23, 7, 1, 4, 4, std::vector<std::uint8_t>(7 * 16, 0x5A), false));
  std::mt19937 rng(1);
  for (const auto& file : files) {
    for (std::size_t n = 0; n < file.size(); n += (n < 200 ? 1 : 7)) {
      Picture p;
      decode(std::vector<std::uint8_t>(file.begin(), file.begin() + n), &p);
    }
    for (int k = 0; k < 300; ++k) {
      auto altered = file;
      altered[rng() % altered.size()] = static_cast<std::uint8_t>(rng());
      Picture p;
      decode(altered, &p);
    }
  }
  EXPECT_GT(files.size(), 20u);
}

// ---- file-level helpers ------------------------------------------------------------------------

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/braximage_XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TEST(ImageFileDeathTest, UnsupportedVariantsEndTheRunBeforeAnythingIsWritten) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  for (const BadCase& c : bad_cases()) {
    const std::string path = dir.file(c.name);
    write_bytes(path, c.bytes);
    const std::string pcx = std::string(c.name).starts_with("pcx_") && c.status == ImageStatus::kUnsupported
                                ? "\\*\\* unsupported PCX format! \\*\\*\n[^\n]*\n[^\n]*\n[^\n]*\n"
                                : "";
    EXPECT_EXIT(
        {
          dup2(2, 1);
          ShapeImage p;
          image_load_file(path.c_str(), &p);
          std::exit(0);
        },
        ::testing::ExitedWithCode(kExitFailure),
        pcx + "-- unsupported or corrupt image '[^']*/" + c.name + "' \\(")
        << c.name;
  }
}

TEST(ImageFile, LoadsAndFinishesAFile) {
  TempDir dir;
  Picture source;
  make_truecolour(&source, 16, 16, false, 2);
  write_bytes(dir.file("a.png"), encode(kImagePng, source.image));
  Picture p;
  image_load_file(dir.file("a.png").c_str(), &p.image);
  ASSERT_NE(p.image.index, nullptr);
  EXPECT_EQ(p.image.palette[0][3], 0);
}

TEST(ImageFile, WriterNamesFiles) {
  TempDir dir;
  Picture p;
  make_indexed(&p, 5, 5, 1);
  struct NameCase {
    int format;
    const char* base;
    const char* written;
  } cases[] = {{kImageBmp, "a", "a.bmp"},     {kImageBmp, "b.BMP", "b.BMP"},     {kImagePcx, "c", "c.pcx"},
               {kImagePng, "d.png", "d.png"}, {kImageGif, "e.gif", "e.gif.gif"}, {kImageGif, "f", "f.gif"}};
  for (const NameCase& c : cases) {
    char written[256];
    image_write_file(c.format, dir.file(c.base).c_str(), p.image, written, sizeof written);
    EXPECT_EQ(std::string(written), dir.file(c.written));
    std::ifstream in(dir.file(c.written), std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(bytes, encode(c.format, p.image)) << c.written;
    EXPECT_FALSE(std::filesystem::exists(dir.file(c.written) + ".tmp"));
  }
}

TEST(ImageFileDeathTest, JpegAndUnknownFormatsCannotBeWritten) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  Picture p;
  make_indexed(&p, 2, 2, 1);
  const std::string base = dir.file("x");
  EXPECT_EXIT(
      {
        dup2(2, 1);
        image_write_file(kImageJpeg, base.c_str(), p.image);
      },
      ::testing::ExitedWithCode(kExitFailure), "-- No JPEG write support");
  EXPECT_EXIT(
      {
        dup2(2, 1);
        image_write_file(9, base.c_str(), p.image);
      },
      ::testing::ExitedWithCode(kExitFailure), "-- unknown format 9");
  EXPECT_FALSE(std::filesystem::exists(base + ".jpg"));
}

}  // namespace
