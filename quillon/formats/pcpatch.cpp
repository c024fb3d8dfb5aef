// Format module for the SND PC patch: one sound, read only (little-endian).
#include "quillon/formats/pcpatch.h"

namespace {

const SNDBANK_VARIANT kVariant = {
    "pcpatch",
    "SND PC patch",
    0,
    /*bigendian=*/false,
    {SREP_S8_INT, SREP_S8_BLK, SREP_S16L_INT, SREP_S16L_BLK, SREP_QVXA_INT, SREP_QVXA_BLK, SREP_PL_BLK, -1},
    {-1},
};

}  // namespace

SABOUT* pcpatch_about() {
  return sndbank_about(kVariant, false);
}
int pcpatch_identify(gfile* file) {
  return sndpatch_identify(kVariant, file);
}
int pcpatch_info(SINSTANCE* inst, SINFO** out, int element) {
  return sndpatch_info(kVariant, inst, out, element);
}
int pcpatch_read(SINSTANCE* inst, SINFO* info, int element) {
  return sndpatch_read(kVariant, inst, info, element);
}
