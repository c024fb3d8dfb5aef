// IFF ILBM files: planar pictures of 1 to 8 planes, with ByteRun1 compression, extra-half-brite,
// HAM and per-line palettes (declared in imagefile.h: ilbm_read).
#pragma once

#include "braxel/image/imagefile.h"
