// The SND stream container shared by the five stream modules: a header chunk of tagged sound
// parameters, a count chunk, data chunks of about 1/15 s of every channel, and an end chunk.
// The modules differ only in the platform parameters of SNDSTREAM_VARIANT.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillon/soundcore/sinfo.h"

struct SNDSTREAM_VARIANT {
  const char* shortname;
  const char* longname;
  int platform;    // 0 PC, 1 PSX, 3 MAC, 5 PS2
  bool bigendian;  // byte order of counts and offsets (chunk sizes are always little-endian)
  int writeflags;  // handed to the exporter for every data chunk
  bool crc;        // chunks carry a CRC field
  int forcedrep;   // representation every write uses, or SREP_NONE
  int maxchannels;
  bool canread;
  const char* elementmessage;  // write of an element other than 0
  int8_t importreps[16];       // ended by -1
  int8_t exportreps[16];
};

// Write flag: the header carries tag 0x00 with value 2.
constexpr int SNDSTREAM_FLAG_TAG00 = 0x400;

SABOUT* sndstream_about(const SNDSTREAM_VARIANT& v);
int sndstream_identify(const SNDSTREAM_VARIANT& v, gfile* file);
int sndstream_open(SINSTANCE** out, gfile* file);
int sndstream_info(const SNDSTREAM_VARIANT& v, SINSTANCE* inst, SINFO** out, int element);
int sndstream_read(const SNDSTREAM_VARIANT& v, SINSTANCE* inst, SINFO* info, int element);
int sndstream_close(SINSTANCE* inst);
int sndstream_create(SINSTANCE** out, gfile* file);
int sndstream_write(const SNDSTREAM_VARIANT& v, SINSTANCE* inst, SINFO* info, int element);
int sndstream_wclose(SINSTANCE* inst);

// The tagged patch header that streams, patches and banks share, read from `start` into the
// timbres of `info` (tables in the given byte order). dataoffsets (may be null) receives each
// timbre's four channel data offset tags. 1, or 0 after reporting; tables read so far stay with
// `info` up to SINFO_MAXTIMBRES timbres.
int sndpatch_readheader(gfile* file, int64_t start, bool bigendian, SINFO* info, int32_t (*dataoffsets)[4]);

// Reflected CRC-16 (polynomial 0x8005), initial value 0xFBEA, no final XOR.
uint16_t sndstream_crc16(const uint8_t* data, size_t size);
