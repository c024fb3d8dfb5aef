// PCM the sample engine has no representation for (24/32-bit integers, 32/64-bit floats, either
// byte order, channels beyond those kept), converted to 16 bits as it is read. The WAV and AIFF
// readers use it for the files editors export.
#pragma once

#include <cstdint>

#include "quillon/soundcore/sinfo.h"

struct gfile;

struct WIDEPCM_LAYOUT {
  int width;  // bytes per sample: 1..4, or 4 and 8 for floats
  bool isfloat;
  bool bigendian;
  bool unsigned8;  // 8-bit samples stored with an offset of 128
  int channels;    // in the file; the timbre keeps its first numchannels
};

// One sample rounded to 16 bits; floats are clipped to +-1.0 first (NaN reads as 0).
int16_t widepcm_sample(const uint8_t* p, const WIDEPCM_LAYOUT& layout);

// Reads frames 0..numsamples-1 into the timbre's buffers from the current position: 1, or 0
// after reporting "Couldn't read samples from file.".
int widepcm_read(gfile* file, const WIDEPCM_LAYOUT& layout, STIMBRE& timbre);
