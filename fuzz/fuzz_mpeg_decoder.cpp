// Fuzz target of the MPEG audio decoder: the input is raw frame data handed to the decoder as the
// format module would (opened at the first frame, PCM taken out in pieces of varying size). Then
// the same data is split for two decoders at a point the input picks, and the second decoder's
// output after its warm-up must equal the first decoder's from the split on.
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
  std::vector<uint8_t> whole;
  if (mpegdec_open(dec, buf.data(), buf.size()) == 0) {
    static const size_t kPieces[] = {4608, 1, 383, 2304, 7, 1152};
    std::vector<uint8_t> pcm(4608);
    for (size_t i = 0;; ++i) {
      const size_t want = kPieces[i % 6];
      const size_t got = mpegdec_read(dec, pcm.data(), want);
      whole.insert(whole.end(), pcm.begin(), pcm.begin() + static_cast<std::ptrdiff_t>(got));
      if (got < want) break;
    }
    const size_t frame_bytes = static_cast<size_t>(mpegdec_channels(dec)) * 2;
    mpegdec_close(dec);
    MpegSplit split;
    const int64_t at = 1 + static_cast<int64_t>(size % 29) * 384;
    if (mpegdec_plan_split(buf.data(), buf.size(), at, &split) &&
        mpegdec_open_at(dec, buf.data(), buf.size(), split.start) == 0) {
      std::vector<uint8_t> second;
      for (size_t got; (got = mpegdec_read(dec, pcm.data(), pcm.size())) > 0;)
        second.insert(second.end(), pcm.begin(), pcm.begin() + static_cast<std::ptrdiff_t>(got));
      mpegdec_close(dec);
      const size_t from = static_cast<size_t>(split.first_sample) * frame_bytes;
      const size_t skip = static_cast<size_t>(split.warmup) * frame_bytes;
      // When the first decoder stopped before the split (a broken frame), there is nothing to match.
      if (whole.size() > from &&
          (second.size() < skip || second.size() - skip != whole.size() - from ||
           std::memcmp(second.data() + skip, whole.data() + from, whole.size() - from) != 0))
        __builtin_trap();
    }
  }
  mpegdec_destroy(dec);
  return 0;
}
