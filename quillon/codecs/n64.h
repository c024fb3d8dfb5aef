// N64 codebook ADPCM (encode only): a per-sound book of four order-2 predictors and 9-byte frames
// of 16 samples.
#pragma once

#include <cstdint>

constexpr int N64_FRAMESAMPLES = 16;
constexpr int N64_FRAMEBYTES = 9;
constexpr int N64_ORDER = 2;
constexpr int N64_PREDICTORS = 4;
constexpr int N64_BOOKVALUES = N64_PREDICTORS * N64_ORDER * 8;  // 64 coefficients, 128 bytes
constexpr int N64_LOOPSTATEVALUES = 16;                         // 32 bytes

constexpr int32_t n64_frames(int32_t count) {
  return (count + N64_FRAMESAMPLES - 1) / N64_FRAMESAMPLES;
}

// Designs the four predictors for one channel: book[p * 16 + row * 8 + j], units of 1/2048.
void n64_designcodebook(const int16_t* in, int32_t count, int16_t book[N64_BOOKVALUES]);

// Encoder state between frames: the last two reconstructed samples.
struct N64_ENCSTATE {
  int32_t s1;
  int32_t s2;
};

constexpr const char* N64_MSG_MAXFRAMES = "sencoden64 - MAXFRAMES > 16.\n";

// Encodes `n` (at most 16; fewer are zero-padded) samples into one frame. Returns 1, or 0 when
// more are given (the caller reports N64_MSG_MAXFRAMES). `recon` (may be null) receives
// the 16 reconstructed samples.
int n64_encodeframe(const int16_t* in, int32_t n, const int16_t book[N64_BOOKVALUES], N64_ENCSTATE* state,
                    uint8_t out[N64_FRAMEBYTES], int16_t* recon);

// Designs the book and encodes a whole channel; with loopstart >= 0 the reconstructed samples of
// the frame holding it, limited to -32767..32767, go to loopstate. Returns the bytes written
// (ceil(count / 16) * 9).
int32_t n64_encode(const int16_t* in, int32_t count, int32_t loopstart, uint8_t* out,
                   int16_t book[N64_BOOKVALUES], int16_t loopstate[N64_LOOPSTATEVALUES]);
