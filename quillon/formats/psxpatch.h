// Format module for the SND PSX patch: one sound, read only.
#pragma once

#include "quillon/formats/sndbank.h"

SABOUT* psxpatch_about();
int psxpatch_identify(gfile* file);
int psxpatch_info(SINSTANCE* inst, SINFO** out, int element);
int psxpatch_read(SINSTANCE* inst, SINFO* info, int element);
