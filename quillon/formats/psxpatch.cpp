// Format module for the SND PSX patch: one sound, read only (little-endian).
#include "quillon/formats/psxpatch.h"

namespace {

const SNDBANK_VARIANT kVariant = {
    "psxpatch",          "SND PSX patch",    1,
    /*bigendian=*/false, {SREP_VAG_BLK, -1}, {-1},
};

}  // namespace

SABOUT* psxpatch_about() {
  return sndbank_about(kVariant, false);
}
int psxpatch_identify(gfile* file) {
  return sndpatch_identify(kVariant, file);
}
int psxpatch_info(SINSTANCE* inst, SINFO** out, int element) {
  return sndpatch_info(kVariant, inst, out, element);
}
int psxpatch_read(SINSTANCE* inst, SINFO* info, int element) {
  return sndpatch_read(kVariant, inst, info, element);
}
