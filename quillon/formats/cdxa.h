// Format module for CD-ROM XA audio: a file of 2336-byte sector payloads.
#pragma once

#include "quillon/soundcore/sinfo.h"

SABOUT* cdxa_about();
int cdxa_identify(gfile* file);
int cdxa_info(SINSTANCE* inst, SINFO** out, int element);
int cdxa_read(SINSTANCE* inst, SINFO* info, int element);
int cdxa_write(SINSTANCE* inst, SINFO* info, int element);
