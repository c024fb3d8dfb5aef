// Format 23, "mpeg": MPEG audio files (MP3, MP2, MP1), one sound per file. Reading finds the first
// run of chained frames (so leading tags and junk are skipped) and decodes through the sample
// import engine; writing encodes Layer 1 or Layer 2 through the sample export engine.
#pragma once

#include <cstdint>

#include "quillon/soundcore/aurex.h"
#include "quillon/soundcore/samples.h"

// Offset of the first run of 7 chained complete frames in the file, or -1. Reads in pieces into
// a buffer on the stack and walks a chain only from a byte pair that can start a header, so a file
// of junk costs one pass.
int32_t mpeg_findstream(gfile* file);

SABOUT* mpeg_about();
int mpeg_identify(gfile* file);
int mpeg_open(SINSTANCE** out, gfile* file);
int mpeg_info(SINSTANCE* inst, SINFO** out, int element);
int mpeg_read(SINSTANCE* inst, SINFO* info, int element);
int mpeg_close(SINSTANCE* inst);
int mpeg_create(SINSTANCE** out, gfile* file);
int mpeg_write(SINSTANCE* inst, SINFO* info, int element);
int mpeg_wclose(SINSTANCE* inst);
