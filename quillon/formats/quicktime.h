// Format 21, "quicktime": the first sound track of a QuickTime/MP4 movie (.mov, .mp4, .m4a), read
// through the movie library binding into a temporary WAVE file and imported from there. Read
// only; at most two channels (more are mixed down).
#pragma once

#include "quillon/soundcore/aurex.h"

SABOUT* quicktime_about();
int quicktime_identify(gfile* file);
int quicktime_open(SINSTANCE** out, gfile* file);
int quicktime_info(SINSTANCE* inst, SINFO** out, int element);
int quicktime_read(SINSTANCE* inst, SINFO* info, int element);
int quicktime_close(SINSTANCE* inst);
