// Colour reduction for braxel: an octree quantizer on 5-bit components that turns true-colour
// pictures into at most 256 palette colours (with optional error diffusion), and a matcher that
// maps colours onto an existing palette with a weighted distance and a lazily filled cache.
#pragma once

#include <cstdint>

// Palette produced by the quantizer: colour i is (red[i], green[i], blue[i]).
struct QuantPalette {
  std::uint8_t red[256];
  std::uint8_t green[256];
  std::uint8_t blue[256];
};

// Reduces width * height pixels of red, green, blue bytes to at most `colours` (1..256) palette
// colours and writes one index per pixel to `indices`. Gives false when an allocation failed or
// the arguments make no sense; the callers then end with "dl1quant failed". Unused palette
// entries are set to black. `used` (may be null) receives the number of palette colours made.
bool quantize(const std::uint8_t* rgb, std::uint8_t* indices, int width, int height, int colours, bool dither,
              QuantPalette* palette, int* used = nullptr);

// Nearest-colour lookup in a fixed palette. The cache holds, per 32 x 64 x 32 bin of the colour
// cube, the chosen palette index + 1 (0: not computed yet).
struct PaletteMatcher {
  std::uint8_t colours[256][3] = {};
  int count = 0;
  int excluded = -1;
  std::uint16_t* cache = nullptr;  // 65536 entries, taken from the console services
};

// `palette` holds red, green, blue at a stride of 4 bytes; `count` colours (0..256) are used and
// the colour at `excluded` (-1 for none) is never chosen.
void match_prepare(PaletteMatcher* matcher, const std::uint8_t* palette, int count, int excluded);
// The index of the palette colour nearest to (red, green, blue) by (2 dr)^2 + (3 dg)^2 + db^2.
// Gives the excluded index only when no other colour exists.
int match_colour(PaletteMatcher* matcher, int red, int green, int blue);
void match_end(PaletteMatcher* matcher);
