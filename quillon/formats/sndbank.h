// SND patches (one sound) and banks (up to 512 sounds with shared scaling tables, envelopes and
// sample blocks), both made of the tagged patch header that SND streams use. The patch and bank
// modules differ only in the platform parameters of SNDBANK_VARIANT.
#pragma once

#include <cstdint>

#include "quillon/soundcore/sinfo.h"

struct SNDBANK_VARIANT {
  const char* shortname;
  const char* longname;
  int platform;  // 0 PC, 1 PSX, 2 N64, 3 MAC, 5 PS2
  bool bigendian;
  int8_t importreps[16];  // ended by -1
  int8_t exportreps[16];  // ended by -1; empty for the read-only patches
};

constexpr int SNDBANK_MAXELEMENTS = 512;

SABOUT* sndbank_about(const SNDBANK_VARIANT& v, bool bank);

int sndpatch_identify(const SNDBANK_VARIANT& v, gfile* file);
int sndpatch_info(const SNDBANK_VARIANT& v, SINSTANCE* inst, SINFO** out, int element);
int sndpatch_read(const SNDBANK_VARIANT& v, SINSTANCE* inst, SINFO* info, int element);

int sndbank_identify(const SNDBANK_VARIANT& v, gfile* file);
int sndbank_open(const SNDBANK_VARIANT& v, SINSTANCE** out, gfile* file);
int sndbank_info(const SNDBANK_VARIANT& v, SINSTANCE* inst, SINFO** out, int element);
int sndbank_read(const SNDBANK_VARIANT& v, SINSTANCE* inst, SINFO* info, int element);
int sndbank_close(SINSTANCE* inst);
int sndbank_create(const SNDBANK_VARIANT& v, SINSTANCE** out, gfile* file);
int sndbank_write(SINSTANCE* inst, SINFO* info, int element);
int sndbank_wclose(SINSTANCE* inst);
