// Sony VAG ADPCM: 16-byte frames of 28 samples with a flag byte that marks loops, stream frames
// and the end of a one-shot sound.
#pragma once

#include <cstdint>

#include "quillon/codecs/xa.h"

constexpr int VAG_FRAMEBYTES = 16;

// Flag byte values.
enum : uint8_t {
  VAG_FLAG_PLAIN = 0,
  VAG_FLAG_END = 1,        // the extra frame closing a one-shot sound
  VAG_FLAG_REPEAT = 2,     // every frame of a stream or of a looped sound
  VAG_FLAG_LOOPSTART = 4,  // with REPEAT on the frame that holds the loop start
  VAG_FLAG_LOOPEND = 3,    // frames from the loop's last frame onward
};

// Encoding forms: a one-shot sound gets a leading zero frame and a closing end frame, a looped
// sound only the leading zero frame, a stream neither.
struct VAG_FORM {
  bool stream;
  int32_t loopstart;  // -1 for none
  int32_t loopend;    // -1 for none
};

inline bool vag_looped(const VAG_FORM& form) {
  return !form.stream && form.loopstart >= 0 && form.loopend > 0;
}

// Bytes that `count` samples of one channel take in `form`.
int64_t vag_encodedbytes(int32_t count, const VAG_FORM& form);

// Encodes `count` samples of one channel; returns the byte count written at `out`.
int32_t vag_encode(const int16_t* in, int32_t count, const VAG_FORM& form, XA_ENCSTATE* state, uint8_t* out);

// Decodes `frames` frames into 28 samples each. prev1/prev2 carry the history between calls.
void vag_decode(const uint8_t* in, int32_t frames, int16_t* out, int16_t* prev1, int16_t* prev2);

// The loop the flags describe, in samples from the first frame given: the start of the last frame
// flagged 6 and the end of the last frame flagged 3 (-1 each when absent).
void vag_findloop(const uint8_t* in, int32_t frames, int32_t* loopstart, int32_t* loopend);

// True for a frame of sixteen zero bytes, the lead-in that non-stream sounds begin with.
bool vag_iszeroframe(const uint8_t* frame);
