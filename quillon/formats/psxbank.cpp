// Format module for the SND PSX bank: up to 512 sounds (little-endian).
#include "quillon/formats/psxbank.h"

namespace {

const SNDBANK_VARIANT kVariant = {
    "psxbank",           "SND PSX bank",     1,
    /*bigendian=*/false, {SREP_VAG_BLK, -1}, {SREP_VAG_BLK, -1},
};

}  // namespace

SABOUT* psxbank_about() {
  return sndbank_about(kVariant, true);
}
int psxbank_identify(gfile* file) {
  return sndbank_identify(kVariant, file);
}
int psxbank_info(SINSTANCE* inst, SINFO** out, int element) {
  return sndbank_info(kVariant, inst, out, element);
}
int psxbank_read(SINSTANCE* inst, SINFO* info, int element) {
  return sndbank_read(kVariant, inst, info, element);
}
int psxbank_open(SINSTANCE** out, gfile* file) {
  return sndbank_open(kVariant, out, file);
}
int psxbank_create(SINSTANCE** out, gfile* file) {
  return sndbank_create(kVariant, out, file);
}
