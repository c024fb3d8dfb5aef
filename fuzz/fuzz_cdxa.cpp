// The CD-ROM XA file reader on arbitrary files, and the sector decoder on the input's first
// sector in mono and stereo.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_console.h"
#include "quillon/codecs/cdxa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int format = fuzz_formatnamed("cdxa");
  fuzz_elements(data, size, format, 1);
  uint8_t sector[CDXA_SECTORBYTES] = {};
  std::memcpy(sector, data, size < sizeof sector ? size : sizeof sector);
  std::vector<int16_t> left(CDXA_SECTORSAMPLES), right(CDXA_SECTORSAMPLES);
  int16_t history[4] = {};
  cdxa_decodesector(sector, false, history, left.data(), right.data());
  cdxa_decodesector(sector, true, history, left.data(), right.data());
  return 0;
}
