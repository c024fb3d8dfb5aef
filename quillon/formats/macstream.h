// Format module for the SND MAC stream: big-endian counts, offsets and channel prefixes.
#pragma once

#include "quillon/formats/sndstream.h"

SABOUT* macstream_about();
int macstream_identify(gfile* file);
int macstream_info(SINSTANCE* inst, SINFO** out, int element);
int macstream_read(SINSTANCE* inst, SINFO* info, int element);
int macstream_write(SINSTANCE* inst, SINFO* info, int element);
