// Format module for the SND PSX stream: VAG sample data in chunks with a CRC field.
#include "quillon/formats/psxstream.h"

namespace {

const SNDSTREAM_VARIANT kVariant = {
    "psxstream",
    "SND PSX stream",
    1,
    /*bigendian=*/false,
    /*writeflags=*/37,
    /*crc=*/true,
    SREP_VAG_BLK,
    /*maxchannels=*/4,
    /*canread=*/true,
    "SND PSX stream files can only contain element 0.",
    {SREP_VAG_BLK, -1},
    {SREP_VAG_BLK, -1},
};

}  // namespace

SABOUT* psxstream_about() {
  return sndstream_about(kVariant);
}
int psxstream_identify(gfile* file) {
  return sndstream_identify(kVariant, file);
}
int psxstream_info(SINSTANCE* inst, SINFO** out, int element) {
  return sndstream_info(kVariant, inst, out, element);
}
int psxstream_read(SINSTANCE* inst, SINFO* info, int element) {
  return sndstream_read(kVariant, inst, info, element);
}
int psxstream_write(SINSTANCE* inst, SINFO* info, int element) {
  return sndstream_write(kVariant, inst, info, element);
}
