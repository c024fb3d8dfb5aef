// Format module for the SND PC stream: the game's .asf files, which the import job writes.
#pragma once

#include "quillon/formats/sndstream.h"

SABOUT* pcstream_about();
int pcstream_identify(gfile* file);
int pcstream_info(SINSTANCE* inst, SINFO** out, int element);
int pcstream_read(SINSTANCE* inst, SINFO* info, int element);
int pcstream_write(SINSTANCE* inst, SINFO* info, int element);
