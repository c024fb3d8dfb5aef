// The reverb's parameter block: any bytes either build a reverb inside the engine's arena or are
// refused, and the reverb then runs without touching memory outside the arena. The first byte
// picks the output rate; the rest is the block.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "quillon/engine/engine_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const uint16_t rates[] = {11025, 22050, 48000};
  AUDIOCONFIG c;
  AUDIO_getconfig(&c);
  c.rate = rates[data[0] % 3];
  AUDIO_setconfig(&c);
  std::vector<uint8_t> arena(65536);
  if (eng::engine_init(arena.data(), static_cast<int32_t>(arena.size()), false) != 0) return 0;
  const std::vector<uint8_t> block(data + 1, data + size);  // exactly as long as the input
  const int mode = data[0] & 0x80 ? 2 : 1;
  if (AUDIO_setfx(0, 100, mode, block.data(), block.size()) == 0) {
    std::vector<int16_t> pcm(600, 12000);
    const int h = AUDIO_voicealloc(1, c.rate, 50);
    AUDIO_voiceset(h, AUDIO_SEND, 127);
    AUDIO_voiceset(h, AUDIO_REVERBAMOUNT, 127);
    AUDIO_voicequeue(h, pcm.data(), 600, nullptr, nullptr);
    AUDIO_voiceplay(h);
    std::vector<int16_t> out(2 * 1024);
    AUDIO_lock();
    eng::mix_render(out.data(), 1024);
    AUDIO_unlock();
  }
  AUDIO_setfx(0, 0, 0, nullptr, 0);
  AUDIO_shutdown();
  return 0;
}
