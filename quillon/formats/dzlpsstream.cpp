// Format module for the obsolete DZL 2000 PS stream: a write-only PSX stream whose header carries tag 0x00.
#include "quillon/formats/dzlpsstream.h"

namespace {

const SNDSTREAM_VARIANT kVariant = {
    "dzlpsstream",
    "Obsolete DZL 2000 PS stream",
    1,
    /*bigendian=*/false,
    /*writeflags=*/1061,
    /*crc=*/true,
    SREP_VAG_BLK,
    /*maxchannels=*/4,
    /*canread=*/false,
    "ZOR PSX stream files can only contain element 0.",
    {-1},
    {SREP_VAG_BLK, -1},
};

}  // namespace

SABOUT* dzlpsstream_about() {
  return sndstream_about(kVariant);
}
int dzlpsstream_write(SINSTANCE* inst, SINFO* info, int element) {
  return sndstream_write(kVariant, inst, info, element);
}
