// Format module for the SND PC bank: up to 512 sounds.
#pragma once

#include "quillon/formats/sndbank.h"

SABOUT* pcbank_about();
int pcbank_identify(gfile* file);
int pcbank_info(SINSTANCE* inst, SINFO** out, int element);
int pcbank_read(SINSTANCE* inst, SINFO* info, int element);
int pcbank_open(SINSTANCE** out, gfile* file);
int pcbank_create(SINSTANCE** out, gfile* file);
