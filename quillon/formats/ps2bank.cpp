// Format module for the SND PS2 bank: up to 512 sounds (little-endian).
#include "quillon/formats/ps2bank.h"

namespace {

const SNDBANK_VARIANT kVariant = {
    "ps2bank",
    "SND PS2 bank",
    5,
    /*bigendian=*/false,
    {SREP_VAG_BLK, SREP_QVXA_BLK, SREP_PL_BLK, SREP_S16L_BLK, SREP_LAYER1, SREP_LAYER2, -1},
    {SREP_VAG_BLK, SREP_QVXA_BLK, SREP_PL_BLK, SREP_S16L_BLK, SREP_LAYER1, SREP_LAYER2, -1},
};

}  // namespace

SABOUT* ps2bank_about() {
  return sndbank_about(kVariant, true);
}
int ps2bank_identify(gfile* file) {
  return sndbank_identify(kVariant, file);
}
int ps2bank_info(SINSTANCE* inst, SINFO** out, int element) {
  return sndbank_info(kVariant, inst, out, element);
}
int ps2bank_read(SINSTANCE* inst, SINFO* info, int element) {
  return sndbank_read(kVariant, inst, info, element);
}
int ps2bank_open(SINSTANCE** out, gfile* file) {
  return sndbank_open(kVariant, out, file);
}
int ps2bank_create(SINSTANCE** out, gfile* file) {
  return sndbank_create(kVariant, out, file);
}
