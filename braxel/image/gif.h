// GIF files: the first image of a GIF87a/GIF89a file, and GIF89a output with LZW coding
// (declared in imagefile.h: gif_read, gif_encode).
#pragma once

#include "braxel/image/imagefile.h"
