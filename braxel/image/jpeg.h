// JPEG files through libjpeg, decoded to true colour (declared in imagefile.h: jpeg_read).
// JPEG is never written.
#pragma once

#include "braxel/image/imagefile.h"
