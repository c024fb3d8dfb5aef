// The harness of the console and bank format targets: every element an open file reports (up to
// a bound) goes through info and read.
#pragma once

#include "fuzz/memfile.h"

inline int fuzz_formatnamed(const char* name) {
  for (int i = 0; i < AUREX_NUMFORMATS; ++i)
    if (std::string(AUREX_formats[i].shortname) == name) return i;
  return -1;
}

inline void fuzz_elements(const uint8_t* data, size_t size, int format, int most) {
  static MemFile file;
  gfile* f = gopen(file.set(data, size));
  if (!f) return;
  AUREX_formats[format].identify(f);
  SINSTANCE* inst = nullptr;
  const int elements = AUREX_open(f, &inst, format);
  for (int e = 0; e < elements && e < most; ++e) {
    SINFO* info = nullptr;
    if (AUREX_info(inst, &info, e)) {
      AUREX_read(inst, info, e);
      AUREX_freesinfo(info);
    }
  }
  if (inst) AUREX_close(inst);
  gclose(f);
}
