// Pieces shared by the console and bank format modules: their SABOUT records, the plain
// instance operations and the check of a sample rate read from a file.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "quillon/soundcore/sinfo.h"

struct CONSOLE_ABOUT {
  const char* shortname;
  const char* longname;
  int platform;  // -1: none
  std::initializer_list<int8_t> importreps;
  std::initializer_list<int8_t> exportreps;
  int32_t elementlimit;
  int32_t formatcode;
};

SABOUT* console_about(const CONSOLE_ABOUT& a);

int console_open(SINSTANCE** out, gfile* file);
int console_close(SINSTANCE* inst);

// True for a rate the sound core accepts; otherwise stores a message naming the range.
bool console_rateok(int64_t rate);

// Reads `n` bytes at `pos`, only when they lie inside the file.
bool console_readat(gfile* f, int64_t pos, void* dst, int64_t n);

// Allocates the timbre's channel buffers (freeing any it has) and reads its samples with the
// sample engine from the given channel positions. 1, or 0 after reporting.
int console_importtimbre(gfile* f, STIMBRE& t, const int32_t* positions);
