// PNG files through libpng: palette, RGB and RGB-with-alpha pictures (declared in imagefile.h:
// png_read, png_encode).
#pragma once

#include "braxel/image/imagefile.h"
