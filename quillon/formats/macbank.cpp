// Format module for the SND MAC bank: up to 512 sounds (big-endian).
#include "quillon/formats/macbank.h"

namespace {

const SNDBANK_VARIANT kVariant = {
    "macbank",
    "SND MAC bank",
    3,
    /*bigendian=*/true,
    {SREP_S8_BLK, SREP_S16B_BLK, SREP_QVXA_BLK, SREP_PL_BLK, -1},
    {SREP_S8_BLK, SREP_S16B_BLK, SREP_QVXA_BLK, SREP_PL_BLK, SREP_VAG_BLK, -1},
};

}  // namespace

SABOUT* macbank_about() {
  return sndbank_about(kVariant, true);
}
int macbank_identify(gfile* file) {
  return sndbank_identify(kVariant, file);
}
int macbank_info(SINSTANCE* inst, SINFO** out, int element) {
  return sndbank_info(kVariant, inst, out, element);
}
int macbank_read(SINSTANCE* inst, SINFO* info, int element) {
  return sndbank_read(kVariant, inst, info, element);
}
int macbank_open(SINSTANCE** out, gfile* file) {
  return sndbank_open(kVariant, out, file);
}
int macbank_create(SINSTANCE** out, gfile* file) {
  return sndbank_create(kVariant, out, file);
}
