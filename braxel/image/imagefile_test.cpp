// Tests of the image file readers, writers and finishing: round trips in memory, hand-made files
// for the cases the writers never produce, unsupported variants, damaged input and the file-level
// helpers' fatal errors.
#include "braxel/image/imagefile.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

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

std::vector<std::uint8_t> png_grey() {
  Picture p;
  make_truecolour(&p, 3, 3, false, 1);
  auto f = encode(kImagePng, p.image);
  f[25] = 0;  // colour type grey
  const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, f.data() + 12, 17));
  for (int i = 0; i < 4; ++i) f[29 + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
  return f;
}

struct BadCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  ImageStatus status;
};

class Unsupported : public ::testing::TestWithParam<int> {};

std::vector<BadCase> bad_cases() {
  std::vector<BadCase> out;
  out.push_back({"bmp_4bit", bmp_with(4, 0), ImageStatus::kUnsupported});
  out.push_back({"bmp_rle8", bmp_with(8, 1), ImageStatus::kUnsupported});
  out.push_back({"bmp_16bit", bmp_with(16, 0), ImageStatus::kUnsupported});
  out.push_back({"pcx_16_colours", pcx_file(8, 2, 4, 1, 4, std::vector<std::uint8_t>(8, 0x11), false),
                 ImageStatus::kUnsupported});
  out.push_back(
      {"pcx_24bit", pcx_file(2, 1, 8, 3, 2, std::vector<std::uint8_t>(6, 0x11)), ImageStatus::kUnsupported});
  out.push_back({"pcx_truncated", pcx_file(64, 64, 8, 1, 64, {0xFF, 1}), ImageStatus::kCorrupt});
  out.push_back(
      {"gif_code_size_12",
       {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ',', 0, 0, 0, 0, 1, 0, 1, 0, 0, 12, 1, 0, 0, ';'},
       ImageStatus::kUnsupported});
  out.push_back(
      {"gif_no_image", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ';'}, ImageStatus::kCorrupt});
  out.push_back({"gif_huge",
                 {'G', 'I', 'F', '8', '9',  'a',  1,    0,    1, 0, 0, 0, 0, ',',
                  0,   0,   0,   0,   0xFF, 0x7F, 0xFF, 0x7F, 0, 8, 1, 0, 0, ';'},
                 ImageStatus::kCorrupt});
  IlbmSpec none;
  none.width = 4, none.height = 4, none.planes = 0;
  out.push_back(
      {"ilbm_no_planes", make_ilbm(none, std::vector<std::uint8_t>(16)), ImageStatus::kUnsupported});
  out.push_back({"png_grey", png_grey(), ImageStatus::kUnsupported});
  out.push_back({"not_an_image", {'X', 'Y', 'Z'}, ImageStatus::kNotImage});
  // Six data planes of HAM leave four bits; only six and eight planes can hold HAM.
  IlbmSpec ham5;
  ham5.width = 4, ham5.height = 1, ham5.planes = 5, ham5.camg = 0x800;
  out.push_back({"ilbm_ham5", make_ilbm(ham5, std::vector<std::uint8_t>(4)), ImageStatus::kUnsupported});
  return out;
}

TEST(BadInput, UnsupportedVariantsAndCorruptFilesAreRefused) {
  for (const BadCase& c : bad_cases()) {
    Picture p;
    std::string message;
    const ImageStatus s = decode(c.bytes, &p, &message);
    EXPECT_EQ(s, c.status) << c.name << ": " << message;
    if (std::string(c.name) == "png_grey") {
      EXPECT_EQ(message, "(PNG) image type is not PALETTE, RGB or RGB_ALPHA");
    }
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
  EXPECT_GT(files.size(), 8u);
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
    const std::string pcx = std::string(c.name).starts_with("pcx_1") || std::string(c.name) == "pcx_24bit"
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
