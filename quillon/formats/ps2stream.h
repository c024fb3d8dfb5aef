// Format module for the SND PS2 stream: header revision 2, at most two channels.
#pragma once

#include "quillon/formats/sndstream.h"

SABOUT* ps2stream_about();
int ps2stream_identify(gfile* file);
int ps2stream_info(SINSTANCE* inst, SINFO** out, int element);
int ps2stream_read(SINSTANCE* inst, SINFO* info, int element);
int ps2stream_write(SINSTANCE* inst, SINFO* info, int element);
