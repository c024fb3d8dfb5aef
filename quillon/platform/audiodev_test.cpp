// The SDL2 audio device backend on SDL's dummy driver, and its reading of open failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "quillon/platform/audiodev.h"

namespace {

TEST(AudioDevSdl, OpenFailuresMapToTheEngineCodes) {
  struct Case {
    const char* message;
    int devices;
    int want;
  };
  const Case cases[] = {
      {"ALSA: Couldn't open audio device: Device or resource busy", 1, kAudioDevBusy},
      {"Device in use by another application", 2, kAudioDevBusy},
      {"ALSA: Couldn't open audio device: No such file or directory", 0, kAudioDevNoDevice},
      {"Audio target 'x' not available", 0, kAudioDevNoDevice},
      {"Unsupported audio format", 1, kAudioDevFailed},
      {"", -1, kAudioDevFailed},  // the device count is unknown on some systems
      {nullptr, 1, kAudioDevFailed},
  };
  for (const Case& c : cases)
    EXPECT_EQ(audiodev_sdl_maperror(c.message, c.devices), c.want) << (c.message ? c.message : "null");
}

TEST(AudioDevSdl, LoopingBufferOnTheDummyDriver) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  AudioDevCaps caps{};
  ASSERT_EQ(audiodev_sdl.probe(&caps), 0);
  EXPECT_EQ(caps.hw3dbuffers, 0);
  EXPECT_EQ(caps.hwreverb, 0);
  AudioDevBuffer* b = nullptr;
  EXPECT_EQ(audiodev_sdl.open(AudioDevFormat{22050, 2, 8}, 4096, &b), kAudioDevFailed);
  ASSERT_EQ(audiodev_sdl.open(AudioDevFormat{22050, 2, 16}, 35264, &b), 0);
  void *p1, *p2;
  uint32_t n1, n2;
  ASSERT_EQ(audiodev_sdl.lock(b, 35000, 1000, &p1, &n1, &p2, &n2), 0);  // across the end
  EXPECT_EQ(n1, 264u);
  EXPECT_EQ(n2, 736u);
  audiodev_sdl.unlock(b);
  EXPECT_EQ(audiodev_sdl.lock(b, 35264, 4, &p1, &n1, &p2, &n2), kAudioDevFailed);
  EXPECT_EQ(audiodev_sdl.status(b), 0u);
  uint32_t play, write;
  audiodev_sdl.cursors(b, &play, &write);
  EXPECT_EQ(write, 0u);
  ASSERT_EQ(audiodev_sdl.play(b), 0);
  EXPECT_EQ(audiodev_sdl.status(b), kAudioDevPlaying);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    audiodev_sdl.cursors(b, &play, &write);
  } while (write < 2048 && std::chrono::steady_clock::now() < until);
  EXPECT_GE(write, 2048u);
  EXPECT_EQ(write % 4, 0u);
  EXPECT_LT(play, write);  // the piece SDL took last is still being played
  EXPECT_EQ(audiodev_sdl.restore(b), 0);
  EXPECT_EQ(audiodev_sdl.status(b), kAudioDevPlaying);
  EXPECT_EQ(audiodev_sdl.stop(b), 0);
  EXPECT_EQ(audiodev_sdl.status(b), 0u);
  audiodev_sdl.close(b);
}

}  // namespace
