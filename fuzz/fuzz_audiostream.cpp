// The stream player on arbitrary bytes: the header parser on the input as one chunk, then the
// input played as a stream image through the service pass and the sources of an engine without a
// device. Whatever the chunks say, the item must end (or be stopped) within a bounded number of
// passes and every chunk must be given back.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "quillon/engine/audiostream.h"
#include "quillon/engine/engine_internal.h"
#include "quillon/runtime/diag.h"

namespace {

int dismiss(const char*) {
  return 0;
}

// The most 256-frame blocks one input may take: a ring full of the densest data.
constexpr int kMaxSteps = 4000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The engine and the player live for the whole run; their memory stays reachable to the end,
  // where the leak check looks at what the player's data stream holds.
  static auto* arena = new std::vector<uint8_t>(204800);
  static auto* memory = new std::vector<uint8_t>();
  static int player = -1;
  if (player < 0) {
    FAULT_setfilter(dismiss);
    if (eng::engine_init(arena->data(), static_cast<int32_t>(arena->size()), false) != 0) abort();
    AUDIOSTREAMPARAMS params;
    AUDIOSTREAM_defaults(&params);
    memory->resize(static_cast<size_t>(AUDIOSTREAM_memsize(2, 15) + 32768));
    player = AUDIOSTREAM_create(&params, 2, 15, memory->data(), static_cast<int32_t>(memory->size()));
    if (player < 0) abort();
  }
  AUDIOSTREAMHEADER header;
  AUDIOSTREAM_parseheader(data, size, &header);
  if (size == 0 || size > 0x100000) return 0;
  const std::vector<uint8_t> image(data, data + size);
  const int item = AUDIOSTREAM_playmemlength(player, 0, image.data(), static_cast<int32_t>(image.size()));
  if (item < 0) abort();
  std::vector<int16_t> out(256 * 2);
  AUDIOSTREAMSTATUS status{};
  for (int step = 0; step < kMaxSteps; ++step) {
    AUDIOSTREAM_service();
    AUDIO_lock();
    eng::mix_render(out.data(), 256);
    AUDIO_unlock();
    AUDIOSTREAM_status(item, &status);
    if (status.state == 3) break;
  }
  AUDIOSTREAM_stop(player);
  return 0;
}
