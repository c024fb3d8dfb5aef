// Format module for the SND PC stream: the game's .asf files, which the import job writes.
#include "quillon/formats/pcstream.h"

namespace {

const SNDSTREAM_VARIANT kVariant = {
    "pcstream",
    "SND PC stream",
    0,
    /*bigendian=*/false,
    /*writeflags=*/101,
    /*crc=*/false,
    SREP_NONE,
    /*maxchannels=*/4,
    /*canread=*/true,
    "SND PC stream files can only contain element 0.",
    {SREP_S8_INT, SREP_S8_BLK, SREP_S16L_INT, SREP_S16L_BLK, SREP_QVXA_INT, SREP_QVXA_BLK, SREP_PL_BLK,
     SREP_LAYER1, SREP_LAYER2, -1},
    {SREP_S8_BLK, SREP_S16L_BLK, SREP_QVXA_BLK, SREP_PL_BLK, SREP_LAYER1, SREP_LAYER2, -1},
};

}  // namespace

SABOUT* pcstream_about() {
  return sndstream_about(kVariant);
}
int pcstream_identify(gfile* file) {
  return sndstream_identify(kVariant, file);
}
int pcstream_info(SINSTANCE* inst, SINFO** out, int element) {
  return sndstream_info(kVariant, inst, out, element);
}
int pcstream_read(SINSTANCE* inst, SINFO* info, int element) {
  return sndstream_read(kVariant, inst, info, element);
}
int pcstream_write(SINSTANCE* inst, SINFO* info, int element) {
  return sndstream_write(kVariant, inst, info, element);
}
