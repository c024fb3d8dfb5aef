// Format module for the SND PC patch: one sound, read only.
#pragma once

#include "quillon/formats/sndbank.h"

SABOUT* pcpatch_about();
int pcpatch_identify(gfile* file);
int pcpatch_info(SINSTANCE* inst, SINFO** out, int element);
int pcpatch_read(SINSTANCE* inst, SINFO* info, int element);
