// Format module for the SND PSX stream: VAG sample data in chunks with a CRC field.
#pragma once

#include "quillon/formats/sndstream.h"

SABOUT* psxstream_about();
int psxstream_identify(gfile* file);
int psxstream_info(SINSTANCE* inst, SINFO** out, int element);
int psxstream_read(SINSTANCE* inst, SINFO* info, int element);
int psxstream_write(SINSTANCE* inst, SINFO* info, int element);
