// Format module for the obsolete DZL 2000 PS stream: a write-only PSX stream whose header carries tag 0x00.
#pragma once

#include "quillon/formats/sndstream.h"

SABOUT* dzlpsstream_about();
int dzlpsstream_write(SINSTANCE* inst, SINFO* info, int element);
