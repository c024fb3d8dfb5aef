// Tests of the octree quantizer and the palette matcher.
#include "braxel/image/quantize.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "braxel/cli/console/console.h"

namespace {

const bool kConsoleReady = (console_init(), true);

struct Rgb {
  int r, g, b;
};

std::vector<std::uint8_t> pixels_of(const std::vector<Rgb>& colours) {
  std::vector<std::uint8_t> out;
  for (const Rgb& c : colours) {
    out.push_back(static_cast<std::uint8_t>(c.r));
    out.push_back(static_cast<std::uint8_t>(c.g));
    out.push_back(static_cast<std::uint8_t>(c.b));
  }
  return out;
}

int bin_centre(int v) {
  return (v >> 3) * 8 + 4;
}

// Up to 255 distinct bins keep one palette colour each, at the bin centre, with or without
// dithering; every pixel maps to its own bin's colour.
TEST(Quantize, DistinctBinsAreNotMerged) {
  ASSERT_TRUE(kConsoleReady);
  for (int colours : {1, 2, 17, 255}) {
    for (bool dither : {false, true}) {
      std::vector<Rgb> image;
      std::mt19937 rng(colours);
      for (int i = 0; i < colours; ++i) {
        // Distinct bins: spread i over the cube; the low three bits vary freely without dither,
        // and sit at the bin centre with dither so that no error is carried.
        const int leaf = (i * 97 + 5) & 32767;
        const int rb = leaf >> 10, gb = (leaf >> 5) & 31, bb = leaf & 31;
        const int low = dither ? 4 : static_cast<int>(rng() & 7);
        image.push_back({rb * 8 + low, gb * 8 + (dither ? 4 : 7 - low), bb * 8 + low});
      }
      // Repeat so that bins have different weights.
      std::vector<Rgb> all;
      for (int i = 0; i < colours; ++i)
        for (int k = 0; k <= i % 5; ++k) all.push_back(image[i]);
      const auto rgb = pixels_of(all);
      std::vector<std::uint8_t> index(all.size());
      QuantPalette pal;
      int used = 0;
      ASSERT_TRUE(
          quantize(rgb.data(), index.data(), static_cast<int>(all.size()), 1, 255, dither, &pal, &used));
      EXPECT_EQ(used, colours) << "colours " << colours << " dither " << dither;
      for (std::size_t i = 0; i < all.size(); ++i) {
        const int k = index[i];
        ASSERT_LT(k, used);
        EXPECT_EQ(pal.red[k], bin_centre(all[i].r));
        EXPECT_EQ(pal.green[k], bin_centre(all[i].g));
        EXPECT_EQ(pal.blue[k], bin_centre(all[i].b));
      }
    }
  }
}

// Three bins into two colours, worked by hand: the lightest bin B merges into its parent P, which
// becomes a heap entry; the lone bin C climbs to the root; then A (weight 10) merges into P.
// P gets index 0 (visited before the root) with the weighted mean of A and B; the root keeps C.
TEST(Quantize, ReductionFollowsTheHeap) {
  std::vector<Rgb> image;
  for (int i = 0; i < 10; ++i) image.push_back({0, 0, 0});       // A: bin (0,0,0)
  image.push_back({0, 0, 8});                                    // B: bin (0,0,1), same parent as A
  for (int i = 0; i < 5; ++i) image.push_back({255, 255, 255});  // C: bin (31,31,31)
  const auto rgb = pixels_of(image);
  std::vector<std::uint8_t> index(image.size());
  QuantPalette pal;
  int used = 0;
  ASSERT_TRUE(quantize(rgb.data(), index.data(), 4, 4, 2, false, &pal, &used));
  ASSERT_EQ(used, 2);
  EXPECT_EQ(pal.red[0], 4);
  EXPECT_EQ(pal.green[0], 4);
  EXPECT_EQ(pal.blue[0], (10 * 4 + 12 + 5) / 11);
  EXPECT_EQ(pal.red[1], 252);
  EXPECT_EQ(pal.blue[1], 252);
  for (std::size_t i = 0; i < image.size(); ++i) EXPECT_EQ(index[i], i < 11 ? 0 : 1) << i;
}

TEST(Quantize, OneColourGivesOneEntry) {
  std::vector<std::uint8_t> rgb(3 * 40 * 30);
  for (std::size_t i = 0; i < rgb.size(); i += 3) rgb[i] = 200, rgb[i + 1] = 10, rgb[i + 2] = 99;
  std::vector<std::uint8_t> index(40 * 30, 77);
  QuantPalette pal;
  int used = 0;
  for (bool dither : {false, true}) {
    ASSERT_TRUE(quantize(rgb.data(), index.data(), 40, 30, 255, dither, &pal, &used));
    EXPECT_EQ(used, 1);
    for (std::uint8_t v : index) ASSERT_EQ(v, 0);
    EXPECT_EQ(pal.red[0], 204);
    EXPECT_EQ(pal.green[0], 12);
    EXPECT_EQ(pal.blue[0], 100);
  }
}

// The first pixel of each row is mapped with no error carried from the row above: it takes the
// colour nearest to its own bin centre.
TEST(Quantize, DitherRestartsEachRow) {
  const int w = 64, h = 16;
  std::vector<std::uint8_t> rgb(w * h * 3);
  std::mt19937 rng(7);
  for (auto& v : rgb) v = static_cast<std::uint8_t>(rng());
  std::vector<std::uint8_t> index(w * h);
  QuantPalette pal;
  int used = 0;
  ASSERT_TRUE(quantize(rgb.data(), index.data(), w, h, 16, true, &pal, &used));
  ASSERT_EQ(used, 16);
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* p = &rgb[y * w * 3];
    int best = 0, best_d = 1 << 30;
    for (int i = 0; i < used; ++i) {
      const int dr = pal.red[i] - bin_centre(p[0]), dg = pal.green[i] - bin_centre(p[1]),
                db = pal.blue[i] - bin_centre(p[2]);
      const int d = dr * dr + dg * dg + db * db;
      if (d < best_d) best_d = d, best = i;
    }
    EXPECT_EQ(index[y * w], best) << "row " << y;
  }
}

TEST(Quantize, ManyColoursReduceToTheLimit) {
  const int w = 256, h = 128;
  std::vector<std::uint8_t> rgb(w * h * 3);
  std::mt19937 rng(11);
  for (auto& v : rgb) v = static_cast<std::uint8_t>(rng());
  std::vector<std::uint8_t> index(w * h);
  QuantPalette pal;
  for (int colours : {1, 8, 255, 256}) {
    for (bool dither : {false, true}) {
      int used = 0;
      ASSERT_TRUE(quantize(rgb.data(), index.data(), w, h, colours, dither, &pal, &used));
      EXPECT_EQ(used, colours);
      for (std::uint8_t v : index) ASSERT_LT(v, used);
    }
  }
}

TEST(Quantize, RejectsBadArguments) {
  std::uint8_t rgb[3] = {}, index[1];
  QuantPalette pal;
  EXPECT_FALSE(quantize(rgb, index, 0, 1, 255, true, &pal));
  EXPECT_FALSE(quantize(rgb, index, 1, 1, 0, true, &pal));
  EXPECT_FALSE(quantize(rgb, index, 1, 1, 257, true, &pal));
  EXPECT_TRUE(quantize(rgb, index, 1, 1, 255, true, &pal));
}

// ---- matcher ---------------------------------------------------------------------------------

int brute_force(const std::array<std::uint8_t, 1024>& pal, int count, int excluded, int r, int g, int b) {
  int best = -1;
  long best_d = 0;
  for (int i = 0; i < count; ++i) {
    if (i == excluded) continue;
    const long dr = 2 * (pal[i * 4] - r), dg = 3 * (pal[i * 4 + 1] - g), db = pal[i * 4 + 2] - b;
    const long d = dr * dr + dg * dg + db * db;
    if (best < 0 || d < best_d) best = i, best_d = d;
  }
  return best;
}

struct MatchCase {
  const char* name;
  int count;
  int excluded;
  unsigned seed;
};

class Match : public ::testing::TestWithParam<MatchCase> {};

// Every cache entry holds a colour of smallest weighted distance to the entry's centre, the
// lowest index on ties, never the excluded one.
TEST_P(Match, AgreesWithAFullSearchAtEveryEntry) {
  const MatchCase& c = GetParam();
  std::array<std::uint8_t, 1024> pal{};
  std::mt19937 rng(c.seed);
  for (int i = 0; i < c.count; ++i)
    for (int k = 0; k < 3; ++k)
      pal[i * 4 + k] = static_cast<std::uint8_t>(c.seed == 3 ? (rng() & 0xC0) : rng());
  PaletteMatcher m;
  match_prepare(&m, pal.data(), c.count, c.excluded);
  for (int r = 0; r < 32; ++r)
    for (int g = 0; g < 64; ++g)
      for (int b = 0; b < 32; ++b) {
        const int got = match_colour(&m, r * 8 + (b & 7), g * 4 + (r & 3), b * 8 + (g & 7));
        const int want = brute_force(pal, c.count, c.excluded, r * 8 + 4, g * 4 + 2, b * 8 + 4);
        ASSERT_EQ(got, want) << r << " " << g << " " << b;
      }
  match_end(&m);
}

INSTANTIATE_TEST_SUITE_P(Palettes, Match,
                         ::testing::Values(MatchCase{"full", 256, 0, 1}, MatchCase{"few", 5, 0, 2},
                                           MatchCase{"ties", 256, 0, 3},
                                           MatchCase{"none_excluded", 40, -1, 4},
                                           MatchCase{"middle_excluded", 64, 17, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Match, NeverGivesTheExcludedBlack) {
  std::array<std::uint8_t, 1024> pal{};
  for (int i = 1; i < 256; ++i) pal[i * 4] = pal[i * 4 + 1] = pal[i * 4 + 2] = static_cast<std::uint8_t>(i);
  PaletteMatcher m;
  match_prepare(&m, pal.data(), 256, 0);
  // Black looks up the entry centred at (4, 2, 4): grey 3 is nearest, black itself is never given.
  EXPECT_EQ(match_colour(&m, 0, 0, 0), 3);
  EXPECT_EQ(match_colour(&m, 3, 1, 2), 3);
  EXPECT_EQ(match_colour(&m, 255, 255, 255), 253);  // entry centre (252, 254, 252)
  match_end(&m);
  EXPECT_EQ(m.cache, nullptr);
}

}  // namespace
