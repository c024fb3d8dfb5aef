// Format module for the OKTA VAG stream (write only): a 16-byte header, mono VAG frames in
// stream form and filler frames up to a 2048-byte boundary.
#pragma once

#include "quillon/soundcore/sinfo.h"

SABOUT* oktavagstream_about();
int oktavagstream_write(SINSTANCE* inst, SINFO* info, int element);
