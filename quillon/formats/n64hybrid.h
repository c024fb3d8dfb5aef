// Format module for the N64/AIFF hybrid (read only): an "N64b" header chunk, then chunks of
// which each "NATb" chunk holds a whole AIFF file, read by the AIFF module as one timbre.
#pragma once

#include "quillon/soundcore/sinfo.h"

SABOUT* n64hybrid_about();
int n64hybrid_identify(gfile* file);
int n64hybrid_info(SINSTANCE* inst, SINFO** out, int element);
int n64hybrid_read(SINSTANCE* inst, SINFO* info, int element);
