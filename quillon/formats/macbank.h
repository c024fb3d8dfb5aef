// Format module for the SND MAC bank: up to 512 sounds.
#pragma once

#include "quillon/formats/sndbank.h"

SABOUT* macbank_about();
int macbank_identify(gfile* file);
int macbank_info(SINSTANCE* inst, SINFO** out, int element);
int macbank_read(SINSTANCE* inst, SINFO* info, int element);
int macbank_open(SINSTANCE** out, gfile* file);
int macbank_create(SINSTANCE** out, gfile* file);
