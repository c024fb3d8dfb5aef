// Format 0, "aiff": AIFF and AIFC files, one sound per file, with a sustain loop (INST and MARK)
// and "User" application data. Written as 8/16-bit AIFF or DVI ADPCM AIFC ("ADP4"); read also
// as 12/24/32-bit PCM and the AIFC types "NONE", "twos", "sowt" and "fl32".
#pragma once

#include "quillon/soundcore/aurex.h"

SABOUT* aiff_about();
int aiff_identify(gfile* file);
int aiff_open(SINSTANCE** out, gfile* file);
int aiff_info(SINSTANCE* inst, SINFO** out, int element);
int aiff_read(SINSTANCE* inst, SINFO* info, int element);
int aiff_close(SINSTANCE* inst);
int aiff_create(SINSTANCE** out, gfile* file);
int aiff_write(SINSTANCE* inst, SINFO* info, int element);
int aiff_wclose(SINSTANCE* inst);

// The AIFF reader on a FORM that starts at byte `base` of `file` (for containers that embed one).
// aiff_infoat: 1 with a new header-only SINFO, or 0 with *out null after reporting. aiff_readat
// fills the sample buffers of timbre 0 of a SINFO from aiff_infoat: non-zero on success.
int aiff_infoat(gfile* file, int32_t base, SINFO** out);
int aiff_readat(gfile* file, int32_t base, SINFO* info);
