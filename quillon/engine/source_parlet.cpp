// The engine's Parlet source: each chunk's channel data is one byte (1 where the channel's bit
// stream starts, else 0) and then byte-aligned 432-sample frames continuing the decoder's state.
// The decoder keeps its filter state within a fixed limit, so every sample it gives is finite.
#include <algorithm>

#include "quillon/engine/audiostream_internal.h"

namespace astream {

void parlet_source_begin(ChannelState& c) {
  const bool start = c.p < c.end && *c.p == 1;
  if (c.p < c.end) ++c.p;
  if (start) c.parlet.started = false;
  parlet_bits_start(&c.bits, c.p, static_cast<size_t>(c.end - c.p));
}

void parlet_source_decode(ChannelState& c, int want) {
  if (!c.parlet.started) {
    parlet_reset(&c.parlet.synth, parlet_read_header(&c.bits));
    c.parlet.started = true;
  }
  parlet_decode_frame(&c.parlet.synth, &c.bits, c.parlet.frame);
  std::copy(c.parlet.frame, c.parlet.frame + want, c.block);
  c.blockfill = want;
  c.blockpos = 0;
}

}  // namespace astream
