// Fixtures of the engine tests: an engine started without a device, rendered by hand.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "quillon/engine/engine_internal.h"

namespace enginetest {

inline constexpr int32_t kArena = 204800;  // what the preview gives the engine

// Default settings at `rate`, resampling `quality` and service `period`, kept for the next start.
inline void configure(int rate = 22050, int quality = 0, int period = 10) {
  AUDIOCONFIG c;
  ASSERT_EQ(AUDIO_getconfig(&c), 0);
  c.rate = static_cast<uint16_t>(rate);
  c.quality = static_cast<uint8_t>(quality);
  c.period = static_cast<uint8_t>(period);
  ASSERT_EQ(AUDIO_setconfig(&c), 0);
}

// Starts the engine at `rate` with default settings and no output device.
class Offline : public ::testing::Test {
 protected:
  void start(int rate = 22050, int quality = 0) {
    configure(rate, quality);
    ASSERT_EQ(eng::engine_init(arena.data(), kArena, false), 0);
  }
  void SetUp() override { start(); }
  void TearDown() override {
    AUDIO_setfx(0, 0, 0, nullptr, 0);
    if (AUDIO_isrunning()) AUDIO_shutdown();
    eng::g.routines = nullptr;
  }
  // Mixes `frames` frames of interleaved output.
  std::vector<int16_t> render(int frames) {
    std::vector<int16_t> out(static_cast<size_t>(frames) * eng::g.channels);
    AUDIO_lock();
    eng::mix_render(out.data(), frames);
    AUDIO_unlock();
    return out;
  }
  // A voice playing (a copy of) `pcm` from the start, ending after it.
  int play(std::vector<int16_t> samples, int rate, int channels = 1) {
    const std::vector<int16_t>& pcm = kept.emplace_back(std::move(samples));
    const int h = AUDIO_voicealloc(channels, rate, 50);
    EXPECT_GE(h, 0);
    EXPECT_EQ(AUDIO_voicequeue(h, pcm.data(), static_cast<int32_t>(pcm.size() / channels), nullptr, nullptr),
              0);
    EXPECT_EQ(AUDIO_voiceendqueue(h), 0);
    EXPECT_EQ(AUDIO_voiceplay(h), 0);
    return h;
  }
  std::vector<uint8_t> arena = std::vector<uint8_t>(kArena);
  std::deque<std::vector<int16_t>> kept;
};

}  // namespace enginetest
