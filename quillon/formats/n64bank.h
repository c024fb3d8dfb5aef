// Format module for the SND N64 bank: up to 512 sounds.
#pragma once

#include "quillon/formats/sndbank.h"

SABOUT* n64bank_about();
int n64bank_identify(gfile* file);
int n64bank_info(SINSTANCE* inst, SINFO** out, int element);
int n64bank_read(SINSTANCE* inst, SINFO* info, int element);
int n64bank_open(SINSTANCE** out, gfile* file);
int n64bank_create(SINSTANCE** out, gfile* file);
