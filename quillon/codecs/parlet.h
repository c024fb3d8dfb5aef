// Parlet: the low-rate speech codec (representation pl_blk). Linear prediction of order 12 with a
// long-term pitch predictor and an entropy-coded excitation, 432 samples a frame; every channel is
// an independent bit stream that starts with a 15-bit header.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int PARLET_FRAME = 432;
constexpr int PARLET_SUBFRAME = 108;
constexpr int PARLET_ORDER = 12;
constexpr int PARLET_HISTORY = 324;  // excitation kept from earlier frames for the pitch predictor
constexpr int PARLET_GAINS = 64;

extern const float PARLET_K64[64];  // reflection coefficient table; the 32-entry table is K64 + 16

// Least-significant-first bit reader that always holds 8 bits ahead of the last one consumed.
// When the bytes run out it asks `refill` for more (when set) and otherwise appends zero bytes,
// counting them, so that no bit pattern reads outside the data.
struct PARLET_BITREADER {
  const uint8_t* p;
  const uint8_t* end;
  uint32_t buf;
  int count;                                                             // valid bits in buf
  int64_t zerobytes;                                                     // bytes appended past the data
  int (*refill)(void* context, const uint8_t** p, const uint8_t** end);  // 0: no more data
  void* context;
};

// Starts reading `size` bytes at `data`; fills the look-ahead.
void parlet_bits_start(PARLET_BITREADER* r, const uint8_t* data, size_t size);
// Fills the look-ahead after `p`/`end`/`refill` were set on a cleared reader.
void parlet_bits_prime(PARLET_BITREADER* r);
// Reads n bits (1..8).
uint32_t parlet_bits_read(PARLET_BITREADER* r, int n);
// True when more bits were consumed than the data held.
bool parlet_bits_overrun(const PARLET_BITREADER* r);

// The decoder's running state, which the encoder mirrors to stay in step with it.
struct PARLET_SYNTH {
  float gains[PARLET_GAINS];
  float k[PARLET_ORDER];                     // reflection coefficients in use
  float exc[PARLET_HISTORY + PARLET_FRAME];  // earlier excitation, then this frame's
  float mem[PARLET_ORDER];                   // past outputs, most recent last
  int halfrate;
  int threshold;
};

struct PARLET_HEADER {
  int halfrate;   // 0..1
  int threshold;  // code t, 0..15: the coding threshold is 32 - t
  int gainbase;   // code b, 0..15: first gain (b + 1) * 8
  int gainstep;   // code s, 0..63: gain ratio 1.04 + 0.001 * s
};

// The header this system's encoder writes: half-rate mode, threshold 24, first gain 64, ratio 1.068.
constexpr PARLET_HEADER PARLET_ENCODERHEADER = {1, 8, 7, 28};

// Clears the state and builds the gain table from a header.
void parlet_reset(PARLET_SYNTH* s, const PARLET_HEADER& h);
// Reads the 15-bit channel header.
PARLET_HEADER parlet_read_header(PARLET_BITREADER* r);
// Decodes one frame into out[0..431].
void parlet_decode_frame(PARLET_SYNTH* s, PARLET_BITREADER* r, float* out);
// Reads n excitation values in the entropy or the ternary form.
void parlet_read_values(PARLET_BITREADER* r, bool entropyform, int32_t* c, int n);

// A channel being read in pieces: the decoder, the frame it decoded last and the bits it had
// looked at but not consumed when the last piece ended.
struct PARLET_DECODER {
  PARLET_SYNTH synth;
  float frame[PARLET_FRAME];
  uint32_t bitbuf;
  int bitcount;
  bool started;  // the header has been read
};

// Decoded float sample to 16 bits: truncated toward zero, limited to the 16-bit range.
int16_t parlet_to16(float v);

// Step-up recursion: reflection coefficients k[0..11] to the direct-form coefficients a[0..11] of
// y[n] = e[n] + a[0] y[n-1] + ... + a[11] y[n-12].
void parlet_direct(const float* k, float* a);

// One subframe's parameters as the bit stream carries them.
struct PARLET_SUBPARAMS {
  int lag;                          // 0..255: delay 108 + lag
  int pitch;                        // 0..15: pitch gain pitch / 15
  int gain;                         // 0..63
  int phase;                        // half-rate: first coded position
  int nointerp;                     // half-rate: 1 = uncoded positions are 0
  int32_t values[PARLET_SUBFRAME];  // coded excitation values (54 in half-rate mode)
};

// The four coefficient sets of a frame's blocks (samples 0..11, 12..23, 24..35, 36..431): moves
// s->k to the new coefficients in four equal steps.
void parlet_blocks(PARLET_SYNTH* s, const int* indices, float (*blocka)[PARLET_ORDER]);
// Excitation of subframe j into s->exc from its parameters.
void parlet_excite(PARLET_SYNTH* s, int j, const PARLET_SUBPARAMS& sp);
// Synthesis of frame samples from..to-1 out of s->exc into out[from..to-1].
void parlet_synth(PARLET_SYNTH* s, const float (*blocka)[PARLET_ORDER], int from, int to, float* out);
// After a frame: keeps the last 324 samples of excitation.
void parlet_endframe(PARLET_SYNTH* s);

// ---- encoder --------------------------------------------------------------------------------

struct PARLET_ENCODER {
  PARLET_SYNTH synth;
  bool started;
};

// Bit writer, least significant bit first.
struct PARLET_BITWRITER {
  uint8_t* out;
  size_t capacity;
  size_t size;
  uint32_t acc;
  int count;
  bool overflow;
};

void parlet_put(PARLET_BITWRITER* w, uint32_t value, int n);  // n <= 24
void parlet_flush(PARLET_BITWRITER* w);                       // pending bits as a last byte

// Starts a channel: resets the encoder and writes the header.
void parlet_encode_start(PARLET_ENCODER* e, PARLET_BITWRITER* w);
// Encodes 432 samples (the caller pads a short last frame with zeros).
void parlet_encode_frame(PARLET_ENCODER* e, const int16_t* in, PARLET_BITWRITER* w);

// Most bits one encoded frame takes.
constexpr int PARLET_MAXFRAMEBITS = 1344;
// Most bytes the encoder writes for `count` samples of one channel, header and flush included.
constexpr int64_t parlet_maxbytes(int64_t count) {
  return ((count + PARLET_FRAME - 1) / PARLET_FRAME * PARLET_MAXFRAMEBITS + 15 + 7) / 8;
}
