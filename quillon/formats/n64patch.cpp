// Format module for the SND N64 patch: one sound, read only (big-endian).
#include "quillon/formats/n64patch.h"

namespace {

const SNDBANK_VARIANT kVariant = {
    "n64patch",
    "SND N64 patch",
    2,
    /*bigendian=*/true,
    {SREP_S16B_BLK, SREP_N64_BLK, SREP_PL_BLK, -1},
    {-1},
};

}  // namespace

SABOUT* n64patch_about() {
  return sndbank_about(kVariant, false);
}
int n64patch_identify(gfile* file) {
  return sndpatch_identify(kVariant, file);
}
int n64patch_info(SINSTANCE* inst, SINFO** out, int element) {
  return sndpatch_info(kVariant, inst, out, element);
}
int n64patch_read(SINSTANCE* inst, SINFO* info, int element) {
  return sndpatch_read(kVariant, inst, info, element);
}
