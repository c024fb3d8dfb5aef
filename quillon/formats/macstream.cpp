// Format module for the SND MAC stream: big-endian counts, offsets and channel prefixes.
#include "quillon/formats/macstream.h"

namespace {

const SNDSTREAM_VARIANT kVariant = {
    "macstream",
    "SND MAC stream",
    3,
    /*bigendian=*/true,
    /*writeflags=*/102,
    /*crc=*/false,
    SREP_NONE,
    /*maxchannels=*/4,
    /*canread=*/true,
    "SND MAC stream files can only contain element 0.",
    {SREP_S8_BLK, SREP_S16B_BLK, SREP_QVXA_BLK, SREP_PL_BLK, -1},
    {SREP_S8_BLK, SREP_S16B_BLK, SREP_QVXA_BLK, SREP_PL_BLK, -1},
};

}  // namespace

SABOUT* macstream_about() {
  return sndstream_about(kVariant);
}
int macstream_identify(gfile* file) {
  return sndstream_identify(kVariant, file);
}
int macstream_info(SINSTANCE* inst, SINFO** out, int element) {
  return sndstream_info(kVariant, inst, out, element);
}
int macstream_read(SINSTANCE* inst, SINFO* info, int element) {
  return sndstream_read(kVariant, inst, info, element);
}
int macstream_write(SINSTANCE* inst, SINFO* info, int element) {
  return sndstream_write(kVariant, inst, info, element);
}
