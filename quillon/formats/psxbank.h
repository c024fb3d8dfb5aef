// Format module for the SND PSX bank: up to 512 sounds.
#pragma once

#include "quillon/formats/sndbank.h"

SABOUT* psxbank_about();
int psxbank_identify(gfile* file);
int psxbank_info(SINSTANCE* inst, SINFO** out, int element);
int psxbank_read(SINSTANCE* inst, SINFO* info, int element);
int psxbank_open(SINSTANCE** out, gfile* file);
int psxbank_create(SINSTANCE** out, gfile* file);
