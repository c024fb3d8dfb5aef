// Format 1, "wave": uncompressed RIFF/WAVE files, one to four channels, one sound per file. Written
// as 8-bit unsigned or 16-bit signed PCM; read also as 24/32-bit PCM, 32/64-bit float and
// WAVE_FORMAT_EXTENSIBLE, converted to 16 bits.
#pragma once

#include "quillon/soundcore/aurex.h"

SABOUT* wave_about();
int wave_identify(gfile* file);
int wave_open(SINSTANCE** out, gfile* file);
int wave_info(SINSTANCE* inst, SINFO** out, int element);
int wave_read(SINSTANCE* inst, SINFO* info, int element);
int wave_close(SINSTANCE* inst);
int wave_create(SINSTANCE** out, gfile* file);
int wave_write(SINSTANCE* inst, SINFO* info, int element);
int wave_wclose(SINSTANCE* inst);

// Offset of the chunk `id` among the RIFF chunks that follow the 12-byte file header, with the
// file positioned at it; -1 when there is none.
int32_t wave_findchunk(gfile* file, const char id[4]);
