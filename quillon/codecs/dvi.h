// DVI (IMA) 4-bit ADPCM: one nibble per sample, no headers. Mono packs two consecutive samples
// per byte (the earlier one in the high nibble); stereo packs one frame per byte (channel 0 in
// the high nibble).
#pragma once

#include <cstdint>

// One channel's state; zero at the start of a sound.
struct DVI_STATE {
  int32_t predictor;  // -32768..32767
  int32_t index;      // 0..88
};

// The code (0..15) for one sample; advances the state as the decoder will.
uint8_t dvi_encode_sample(DVI_STATE* state, int16_t sample);
// The sample for one code (its low four bits are used); advances the state.
int16_t dvi_decode_nibble(DVI_STATE* state, uint8_t code);

// Bytes `frames` frames of `channels` (1 or 2) take.
int32_t dvi_bytes(int32_t frames, int channels);

// Encodes frames [0, frames) of one or two channels into dvi_bytes(frames, channels) bytes. A
// mono stream with an odd count ends in a byte whose low nibble is 0.
void dvi_encode(const int16_t* const* in, int32_t frames, int channels, DVI_STATE* states, uint8_t* out);
// Decodes dvi_bytes(frames, channels) bytes into frames [0, frames) of each channel buffer.
void dvi_decode(const uint8_t* in, int32_t frames, int channels, DVI_STATE* states, int16_t* const* out);
