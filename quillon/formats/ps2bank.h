// Format module for the SND PS2 bank: up to 512 sounds.
#pragma once

#include "quillon/formats/sndbank.h"

SABOUT* ps2bank_about();
int ps2bank_identify(gfile* file);
int ps2bank_info(SINSTANCE* inst, SINFO** out, int element);
int ps2bank_read(SINSTANCE* inst, SINFO* info, int element);
int ps2bank_open(SINSTANCE** out, gfile* file);
int ps2bank_create(SINSTANCE** out, gfile* file);
