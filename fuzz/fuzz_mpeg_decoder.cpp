// Fuzz target of the MPEG audio decoder: the input is raw frame data handed to the decoder as the
// format module would (opened at the first frame, PCM taken out in pieces of varying size).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "quillon/codecs/mpegdec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that any read past the end is caught.
  std::vector<uint8_t> buf(data, data + size);
  MpegDecoder* dec = mpegdec_create();
  if (!dec) return 0;
  static const MpegSynthPath kPaths[] = {MpegSynthPath::kPlain, MpegSynthPath::kSse2, MpegSynthPath::kAvx2};
  const MpegSynthPath path = kPaths[size % 3];
  if (mpegdec_path_supported(path)) mpegdec_set_path(dec, path);
  if (mpegdec_open(dec, buf.data(), buf.size()) == 0) {
    static const size_t kPieces[] = {4608, 1, 383, 2304, 7, 1152};
    std::vector<uint8_t> pcm(4608);
    for (size_t i = 0;; ++i) {
      const size_t want = kPieces[i % 6];
      if (mpegdec_read(dec, pcm.data(), want) < want) break;
    }
    mpegdec_close(dec);
  }
  mpegdec_destroy(dec);
  return 0;
}
