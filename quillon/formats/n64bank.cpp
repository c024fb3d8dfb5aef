// Format module for the SND N64 bank: up to 512 sounds (big-endian).
#include "quillon/formats/n64bank.h"

namespace {

const SNDBANK_VARIANT kVariant = {
    "n64bank",
    "SND N64 bank",
    2,
    /*bigendian=*/true,
    {SREP_S16B_BLK, SREP_PL_BLK, -1},
    {SREP_S16B_BLK, SREP_N64_BLK, SREP_PL_BLK, -1},
};

}  // namespace

SABOUT* n64bank_about() {
  return sndbank_about(kVariant, true);
}
int n64bank_identify(gfile* file) {
  return sndbank_identify(kVariant, file);
}
int n64bank_info(SINSTANCE* inst, SINFO** out, int element) {
  return sndbank_info(kVariant, inst, out, element);
}
int n64bank_read(SINSTANCE* inst, SINFO* info, int element) {
  return sndbank_read(kVariant, inst, info, element);
}
int n64bank_open(SINSTANCE** out, gfile* file) {
  return sndbank_open(kVariant, out, file);
}
int n64bank_create(SINSTANCE** out, gfile* file) {
  return sndbank_create(kVariant, out, file);
}
