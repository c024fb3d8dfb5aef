// Format module for the SND PS2 stream: header revision 2, at most two channels.
#include "quillon/formats/ps2stream.h"

namespace {

const SNDSTREAM_VARIANT kVariant = {
    "ps2stream",
    "SND PS2 stream",
    5,
    /*bigendian=*/false,
    /*writeflags=*/101,
    /*crc=*/false,
    SREP_NONE,
    /*maxchannels=*/2,
    /*canread=*/true,
    "SND PS2 stream files can only contain element 0.",
    {SREP_QVXA_BLK, SREP_PL_BLK, SREP_S16L_BLK, SREP_LAYER1, SREP_LAYER2, -1},
    {SREP_QVXA_BLK, SREP_PL_BLK, SREP_S16L_BLK, SREP_LAYER1, SREP_LAYER2, -1},
};

}  // namespace

SABOUT* ps2stream_about() {
  return sndstream_about(kVariant);
}
int ps2stream_identify(gfile* file) {
  return sndstream_identify(kVariant, file);
}
int ps2stream_info(SINSTANCE* inst, SINFO** out, int element) {
  return sndstream_info(kVariant, inst, out, element);
}
int ps2stream_read(SINSTANCE* inst, SINFO* info, int element) {
  return sndstream_read(kVariant, inst, info, element);
}
int ps2stream_write(SINSTANCE* inst, SINFO* info, int element) {
  return sndstream_write(kVariant, inst, info, element);
}
