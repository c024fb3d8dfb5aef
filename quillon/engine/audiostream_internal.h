// The stream player's decoding side: one source per channel of a playing stream, reading the
// voice buffer queue's entries in place. Used by the player and by its tests.
#pragma once

#include <cstdint>

#include "quillon/codecs/parlet.h"

namespace astream {

// The most samples one decoded block holds (a Parlet frame).
inline constexpr int kBlockMax = PARLET_FRAME;

// Where one channel of the queue stands and the block it decoded last.
struct ChannelState {
  uint32_t seq;      // entry being read
  int32_t pos;       // samples of that entry already handed out
  bool begun;        // the entry's per-chunk prefix has been read
  const uint8_t* p;  // next unread byte of the entry's channel data
  const uint8_t* end;
  float hist1, hist2;  // QV-XA: last sample, the one before
  float block[kBlockMax];
  int blockfill, blockpos;
  PARLET_DECODER parlet;
  PARLET_BITREADER bits;
};

// Starts reading an entry's channel data [data, end) in representation `rep`: reads the prefix of
// the chunk (the QV-XA history, the Parlet start byte).
void source_begin(ChannelState& c, int rep, const uint8_t* data, const uint8_t* end);
// Decodes the next block of at most `want` samples into c.block; bytes missing at the end of the
// channel data read as silence.
void source_decode(ChannelState& c, int rep, int want);

// The Parlet source (source_parlet.cpp).
void parlet_source_begin(ChannelState& c);
void parlet_source_decode(ChannelState& c, int want);

// The most samples a data chunk with `bytes` of channel data for `channels` channels can carry
// in `rep`; a larger count is a corrupt chunk.
int64_t source_maxsamples(int rep, int64_t bytes, int channels);

}  // namespace astream
