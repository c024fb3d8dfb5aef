// quillon play's look at arbitrary files: the chunk walks stop at the end of the data, and a
// header chunk given another reverb amount still gives its own size and takes a second change in
// place.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "quillon/app/playheader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  stream_playsnothing(in);
  STREAMHEADERCHUNK h;
  if (!stream_findheader(in, &h) || h.bytes.size() != h.size) return 0;
  if (!stream_setreverb(h.bytes, 100)) return 0;
  const std::vector<unsigned char> once = h.bytes;
  if ((once[4] | once[5] << 8 | once[6] << 16 | static_cast<uint32_t>(once[7]) << 24) != once.size())
    std::abort();
  if (!stream_setreverb(h.bytes, 7) || h.bytes.size() != once.size()) std::abort();
  return 0;
}
