// Format module for the SND PC bank: up to 512 sounds (little-endian).
#include "quillon/formats/pcbank.h"

namespace {

const SNDBANK_VARIANT kVariant = {
    "pcbank",
    "SND PC bank",
    0,
    /*bigendian=*/false,
    {SREP_S16L_BLK, SREP_S8_BLK, SREP_QVXA_BLK, SREP_PL_BLK, SREP_S16L_INT, SREP_S8_INT, SREP_QVXA_INT,
     SREP_LAYER1, -1},
    {SREP_S16L_BLK, SREP_S8_BLK, SREP_QVXA_BLK, SREP_PL_BLK, SREP_LAYER1, SREP_LAYER2, SREP_VAG_BLK, -1},
};

}  // namespace

SABOUT* pcbank_about() {
  return sndbank_about(kVariant, true);
}
int pcbank_identify(gfile* file) {
  return sndbank_identify(kVariant, file);
}
int pcbank_info(SINSTANCE* inst, SINFO** out, int element) {
  return sndbank_info(kVariant, inst, out, element);
}
int pcbank_read(SINSTANCE* inst, SINFO* info, int element) {
  return sndbank_read(kVariant, inst, info, element);
}
int pcbank_open(SINSTANCE** out, gfile* file) {
  return sndbank_open(kVariant, out, file);
}
int pcbank_create(SINSTANCE** out, gfile* file) {
  return sndbank_create(kVariant, out, file);
}
