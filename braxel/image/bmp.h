// BMP files: 8-bit and 24-bit uncompressed pictures (declared in imagefile.h: bmp_read,
// bmp_encode).
#pragma once

#include "braxel/image/imagefile.h"
