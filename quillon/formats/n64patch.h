// Format module for the SND N64 patch: one sound, read only.
#pragma once

#include "quillon/formats/sndbank.h"

SABOUT* n64patch_about();
int n64patch_identify(gfile* file);
int n64patch_info(SINSTANCE* inst, SINFO** out, int element);
int n64patch_read(SINSTANCE* inst, SINFO* info, int element);
