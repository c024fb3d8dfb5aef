// Putting edited images back into image packs: the items read from the command line, the block
// builder that turns an item into a block modelled on a template block (size check, palette
// remapping or a palette of its own, transparency), and the commands "-c" (a new pack from a
// template pack) and "-r"/"-rp" (replace images of a pack, which may sit inside an archive).
#pragma once

#include <cstdint>

#include "braxel/image/imagefile.h"

// Items of one run; the last one always stays empty, so at most kReplaceItems - 1 are read.
inline constexpr int kReplaceItems = 256;
inline constexpr int kReplaceNameChars = 4;

// Builder flags.
inline constexpr int kCreateCompress = 1;    // compress the new pack
inline constexpr int kCreateOwnPalette = 2;  // replaced images keep their own palette
inline constexpr int kCreateTransparency = 4;

// One image or data file named on the command line.
struct ReplaceItem {
  std::int16_t width = 0;
  std::int16_t height = 0;
  std::int16_t is_data = 0;
  std::int32_t size = 0;         // bytes of the data file, or of the index pixels
  int kind = 0;                  // 1 indexed, 2 true colour (every finished image is indexed)
  ShapeImage picture;            // index, true-colour and alpha planes and the palette
  std::uint8_t* data = nullptr;  // a data file's bytes (console block)
  char new_name[kReplaceNameChars + 1] = {};
  char template_name[kReplaceNameChars + 1] = {};
  const char* path = nullptr;
};

// An external palette block ("-pal"): the bytes as stored in an image pack, or none.
struct ExternalPalette {
  const std::uint8_t* data = nullptr;
  int size = 0;
};

// The builder behind "-c" and "-r". args[0] is the template pack's path (below base, which may
// be empty), followed by the output name when output is null, then the item operands. Gives the
// run's exit status; errors are fatal before anything is written.
int create_pack(char* const* args, int count, const char* base, int flags, const char* output,
                const ExternalPalette& palette);

// "-r" (own_palette 0) and "-rp" (1): args[0] is the pack's path, which may lead into archives;
// the rest are item operands.
int replace_in_pack(char* const* args, int count, int own_palette, int transparency,
                    const ExternalPalette& palette);
