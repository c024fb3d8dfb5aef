// Shared body of the image reader fuzz targets: decode arbitrary bytes with one reader, finish
// small results, release everything. Indexed results are always finished (palette expansion);
// quantizing has a fixed cost of a few milliseconds whatever the size, so only one true-colour
// result in eight (chosen by the input's length) goes through it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "braxel/cli/console/console.h"
#include "braxel/image/imagefile.h"

using ImageReader = ImageStatus (*)(const std::uint8_t*, std::size_t, ShapeImage*, ImageError*);

inline int fuzz_image_reader(ImageReader reader, const std::uint8_t* data, std::size_t size) {
  static const bool ready = [] {
    console_init();
    // Keeps each run small; the readers' checks are the same at any limit.
    image_set_pixel_limit(std::size_t{1} << 22);
    return true;
  }();
  (void)ready;
  ShapeImage picture;
  ImageError error;
  if (reader(data, size, &picture, &error) == ImageStatus::kOk &&
      static_cast<std::size_t>(picture.width) * picture.height <= 65536 &&
      (picture.index != nullptr || size % 8 == 0))
    image_finish(&picture);
  shape_image_release(&picture);
  return 0;
}
