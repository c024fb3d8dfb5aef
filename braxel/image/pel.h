// PEL files: 8-bit pictures with a 256-entry palette (declared in imagefile.h: pel_read).
#pragma once

#include "braxel/image/imagefile.h"
