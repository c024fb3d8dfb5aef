// The data stream on arbitrary bytes: a memory request over the input after a few bytes that
// choose the ring size, the filters and the order in which the consumer releases chunks. Every
// chunk handed out must lie inside the ring with a plausible size, and the stream must end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "quillon/runtime/diag.h"
#include "quillon/runtime/stream.h"

namespace {

int dismiss(const char*) {
  return 0;
}

struct Rng {
  uint32_t state;
  uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size <= 8) return 0;  // a memory request of length 0 would look for its end chunk past the input
  FAULT_setfilter(dismiss);
  const size_t ring = STREAM_MINRING + (data[0] % 4) * 0x1000;
  const uint32_t mask = data[1] | data[2] << 8;
  const size_t held_max = 1 + data[3] % 6;
  Rng rng{static_cast<uint32_t>(data[4] | data[5] << 8 | data[6] << 16)};
  const uint32_t endid = data[7] & 1 ? 0x6C454353 : 0;  // "SCEl", or an id that rarely occurs
  data += 8;
  size -= 8;

  std::vector<uint8_t> memory(STREAM_memsize(4, 2, 2) + ring);
  STREAM* s = STREAM_create(4, 2, 2, memory.data(), memory.size());
  if (!s) abort();
  STREAM* taps[2] = {s, STREAM_taphandle(s, 2)};
  STREAM_setfilter(s, 1, mask, 0x6C440000 & mask, 2);  // chunks like "SCDl" to tap 2
  const uint8_t* ring_start = memory.data() + memory.size() - STREAM_buffersize(s);
  const uint8_t* ring_end = memory.data() + memory.size();
  // The input twice: a second request follows the first through the same ring.
  STREAM_queuemem(s, data, static_cast<int32_t>(size), endid);
  STREAM_queuemem(s, data, static_cast<int32_t>(size), endid);
  std::vector<uint8_t*> held;
  for (int step = 0; step < 200000; ++step) {
    uint8_t* c = static_cast<uint8_t*>(STREAM_get(taps[rng.next() % 2]));
    if (c) {
      uint32_t length;
      std::memcpy(&length, c + 4, 4);
      if (c < ring_start || length < 8 || length > static_cast<size_t>(ring_end - c)) abort();
      held.push_back(c);
    }
    if (!held.empty() && (held.size() >= held_max || !c)) {
      const size_t i = rng.next() % held.size();
      STREAM_release(s, held[i]);
      held.erase(held.begin() + static_cast<long>(i));
    }
    if (!c && held.empty() &&
        (STREAM_invalidchunk(s) || (STREAM_isendofstream(taps[0]) && STREAM_isendofstream(taps[1]))))
      break;
    if (step == 199999) abort();  // the stream neither ended nor stopped
  }
  for (uint8_t* c : held) STREAM_release(s, c);
  STREAM_destroy(s);
  return 0;
}
