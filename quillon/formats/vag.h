// Format module for the Sony VAG file: a 48-byte big-endian header and one mono VAG sound.
#pragma once

#include "quillon/soundcore/sinfo.h"

SABOUT* vag_about();
int vag_identify(gfile* file);
int vag_info(SINSTANCE* inst, SINFO** out, int element);
int vag_read(SINSTANCE* inst, SINFO* info, int element);
int vag_write(SINSTANCE* inst, SINFO* info, int element);
