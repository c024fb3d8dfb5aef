// PCX files: 8-bit run-length coded pictures with the 256-colour palette at the end (declared in
// imagefile.h: pcx_read, pcx_encode).
#pragma once

#include "braxel/image/imagefile.h"
