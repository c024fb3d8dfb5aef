// Format module for headerless sample data: the caller describes the sound before reading.
#pragma once

#include "quillon/soundcore/sinfo.h"

SABOUT* raw_about();
int raw_identify(gfile* file);
int raw_info(SINSTANCE* inst, SINFO** out, int element);
int raw_read(SINSTANCE* inst, SINFO* info, int element);
int raw_write(SINSTANCE* inst, SINFO* info, int element);
