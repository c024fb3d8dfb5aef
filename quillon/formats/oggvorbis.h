// Format 22, "oggvorbis": Ogg Vorbis files, one sound per file (chained streams are one sound),
// at most two channels (more are mixed down), written at 44100 Hz only.
#pragma once

#include "quillon/soundcore/aurex.h"

SABOUT* oggvorbis_about();
int oggvorbis_identify(gfile* file);
int oggvorbis_open(SINSTANCE** out, gfile* file);
int oggvorbis_info(SINSTANCE* inst, SINFO** out, int element);
int oggvorbis_read(SINSTANCE* inst, SINFO* info, int element);
int oggvorbis_close(SINSTANCE* inst);
int oggvorbis_create(SINSTANCE** out, gfile* file);
int oggvorbis_write(SINSTANCE* inst, SINFO* info, int element);
int oggvorbis_wclose(SINSTANCE* inst);
