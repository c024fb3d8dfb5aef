// The output driver: buffer sizes, the service pass's cursor arithmetic and lead adaptation on
// the scripted device, and start, stop and capture through the real SDL2 dummy driver.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "quillon/engine/engine_testutil.h"

using enginetest::kArena;

namespace {

// Marks every frame it fills with a running frame number, so a test can read back what went
// where.
int filled = 0;
void count_frames(int16_t* dst, int frames) {
  for (int i = 0; i < frames; ++i, ++filled) dst[2 * i] = dst[2 * i + 1] = static_cast<int16_t>(filled);
}

// One output state on the scripted device, serviced by hand.
class Passes : public ::testing::Test {
 protected:
  void SetUp() override {
    audiodev_script_reset();
    filled = 0;
    open(false);
  }
  void open(bool emulated) {
    if (o.buf) o.ops->close(o.buf);
    eng::out_reset(o, 22050, 2, emulated);
    o.ops = &audiodev_script;
    ASSERT_EQ(o.ops->open(AudioDevFormat{22050, 2, 16}, o.len * 4, &o.buf), 0);
  }
  void TearDown() override { o.ops->close(o.buf); }
  // Moves the write cursor to `frame` and runs one pass.
  void pass_at(uint32_t frame) {
    AudioDevScript s = audiodev_script_get();
    s.write = frame * 4;
    audiodev_script_set(s);
    eng::out_service(o, count_frames);
  }
  int16_t frame_at(uint32_t frame) {
    int16_t v[2];
    EXPECT_TRUE(audiodev_script_peek(frame * 4, 4, v));
    return v[0];
  }
  eng::Output o{};
};

TEST_F(Passes, SizesAtTheDefaultRate) {
  EXPECT_EQ(o.len, 8816u);
  EXPECT_EQ(o.len * 4, 35264u);
  EXPECT_EQ(o.lead, 432);
  EXPECT_EQ(o.maxlead, 7040);
  eng::out_reset(o, 44100, 2, false);
  EXPECT_EQ(o.len, 17632u);
  EXPECT_EQ(o.lead, 880);
  EXPECT_EQ(o.maxlead, 14096);
}

TEST_F(Passes, FillsAheadOfTheWriteCursorAcrossTheEnd) {
  eng::out_service(o, count_frames);  // not playing yet: start it
  EXPECT_EQ(audiodev_script_get().plays, 1);
  EXPECT_EQ(filled, 0);
  pass_at(0);
  EXPECT_EQ(filled, 432);
  EXPECT_EQ(o.writtenend, 432u);
  pass_at(4000);  // fills to 4432; the shortfall then raises the lead to 4432
  EXPECT_EQ(o.writtenend, 4432u);
  EXPECT_EQ(o.lead, 4432);
  pass_at(8592);  // target 8592 + 4432 wraps: two pieces
  EXPECT_EQ(o.writtenend, 4208u);
  EXPECT_EQ(frame_at(4432), 4432);
  EXPECT_EQ(frame_at(0), frame_at(8815) + 1);  // the second piece starts at the buffer's start
  EXPECT_EQ(frame_at(4207), filled - 1);
  pass_at(8613);  // cursors count in whole multiples of 16 frames
  EXPECT_EQ(o.lastcursor, 8608u);
}

TEST_F(Passes, UnderrunRaisesTheLeadByTheShortfall) {
  o.writtentotal = 10000;
  o.cursortotal = 10100;  // the device is 100 frames past the mixed data
  eng::out_adapt(o);
  EXPECT_EQ(o.lead, 544);  // 432 + 100 + 15, rounded down to 16
  EXPECT_EQ(o.passes, 0);
  o.cursortotal = 10000 + 9000;  // never above the maximum
  eng::out_adapt(o);
  EXPECT_EQ(o.lead, 7040);
  // Totals far past the start are brought back together.
  o.writtentotal = 0x11000010;
  o.cursortotal = 0x11000000;
  eng::out_adapt(o);
  EXPECT_EQ(o.writtentotal, 0x01000010);
  EXPECT_EQ(o.cursortotal, 0x01000000);
}

TEST_F(Passes, LeadShrinksOnlyAfterThreeThousandQuietPasses) {
  o.writtentotal = 5000;
  o.cursortotal = 4900;
  for (int i = 1; i < 3000; ++i) eng::out_adapt(o);
  EXPECT_EQ(o.lead, 432);
  eng::out_adapt(o);  // the 3000th
  EXPECT_EQ(o.lead, 416);
  for (int i = 0; i < 9; ++i) eng::out_adapt(o);
  EXPECT_EQ(o.lead, 416);
  eng::out_adapt(o);
  EXPECT_EQ(o.lead, 400);
  o.cursortotal = 5000 - 16;  // a margin of 16 frames is too thin to shrink further
  for (int i = 0; i < 10; ++i) eng::out_adapt(o);
  EXPECT_EQ(o.lead, 400);
}

TEST_F(Passes, UnderrunThroughAPassAndNoneOnAnEmulatedDevice) {
  for (bool emulated : {false, true}) {
    open(emulated);
    eng::out_service(o, count_frames);
    pass_at(0);
    pass_at(96);  // the device moved 96 frames, the data was written only to the lead
    EXPECT_EQ(o.lead, emulated ? 432 : 528) << emulated;
    pass_at(3000);
    if (emulated)
      EXPECT_EQ(o.lead, 432);
    else
      EXPECT_GT(o.lead, 3000 - 96);
  }
}

TEST_F(Passes, FrozenCursorAndLostBufferAreRestored) {
  eng::out_service(o, count_frames);
  for (int i = 0; i < 101; ++i) pass_at(0);
  EXPECT_EQ(audiodev_script_get().restores, 0);
  pass_at(0);
  EXPECT_EQ(audiodev_script_get().restores, 1);
  for (int i = 0; i < 100; ++i) pass_at(0);
  EXPECT_EQ(audiodev_script_get().restores, 1);
  AudioDevScript s = audiodev_script_get();
  s.lost = true;
  audiodev_script_set(s);
  const int before = filled;
  eng::out_service(o, count_frames);
  EXPECT_EQ(audiodev_script_get().restores, 2);
  EXPECT_EQ(filled, before);  // nothing written in the restoring pass
}

// The engine started through the real SDL2 library on its dummy driver.
class Device : public ::testing::Test {
 protected:
  void SetUp() override { enginetest::configure(); }
  void TearDown() override {
    if (AUDIO_isrunning()) AUDIO_shutdown();
    AUDIO_capturestop();
    audiodev_select(nullptr);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
  }
  std::vector<uint8_t> arena = std::vector<uint8_t>(kArena);
};

TEST_F(Device, StartStopAndTheDeviceErrors) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  ASSERT_EQ(AUDIO_init(arena.data(), kArena), 0);
  EXPECT_EQ(AUDIO_init(arena.data(), kArena), 0);
  EXPECT_EQ(AUDIO_isrunning(), 1);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (AUDIO_latency() == 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const int latency = AUDIO_latency();
  EXPECT_GT(latency, 0);
  EXPECT_LT(latency, 400);
  EXPECT_GT(AUDIO_tickcount(), 0u);  // the output thread mixes, and ticks with it
  EXPECT_GE(AUDIO_shutdown(), 0);
  EXPECT_EQ(AUDIO_latency(), 0);
  EXPECT_EQ(AUDIO_shutdown(), AUDIO_ENOTRUNNING);

  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  EXPECT_EQ(AUDIO_init(arena.data(), kArena), AUDIO_ENOTRUNNING);
  EXPECT_EQ(AUDIO_isrunning(), 0);
  setenv("SDL_AUDIODRIVER", "dummy", 1);

  audiodev_script_reset();
  audiodev_select(&audiodev_script);
  AudioDevScript s = audiodev_script_get();
  s.openresult = kAudioDevBusy;
  audiodev_script_set(s);
  EXPECT_EQ(AUDIO_init(arena.data(), kArena), AUDIO_EBUSY);
  EXPECT_EQ(AUDIO_isrunning(), 0);
}

TEST_F(Device, CaptureBlocks) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  EXPECT_EQ(AUDIO_capturestart(0, 16, 22050), AUDIO_ERR);
  EXPECT_EQ(AUDIO_capturestart(256, 12, 22050), AUDIO_ERR);
  std::vector<int16_t> block(256, 0x5555);
  EXPECT_EQ(AUDIO_captureread(block.data()), AUDIO_ERR);  // not open
  ASSERT_EQ(AUDIO_capturestart(256, 16, 22050), 0);
  EXPECT_EQ(AUDIO_capturestart(256, 16, 22050), AUDIO_EBUSY);
  int rc = AUDIO_ERR;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while ((rc = AUDIO_captureread(block.data())) != 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(block, std::vector<int16_t>(256, 0));  // the dummy device records silence
  EXPECT_EQ(AUDIO_capturestop(), 0);
  EXPECT_EQ(AUDIO_capturestart(256, 8, 11025), 0);  // open again after the stop
}

// Waits (at most two seconds) for a voice to end.
bool wait_end(int handle) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (AUDIO_voicestatus(handle) == 1)
    if (std::chrono::steady_clock::now() > until)
      return false;
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return true;
}

// What the engine really played, through SDL2's disk driver: a dry sound resampled from
// 11025 Hz, then a short sound sent to the shipped reverb.
TEST_F(Device, DiskDriverPlaysTheLawsAndTheReverbTail) {
  const std::string path = ::testing::TempDir() + "engine_disk_test.raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
  ASSERT_EQ(AUDIO_setfx(0x20, 100, 1, AUDIO_reverbfile, sizeof AUDIO_reverbfile), 0);
  // Short passes, and time for the lead to settle, keep a busy machine from underrunning.
  enginetest::configure(22050, 0, 2);
  ASSERT_EQ(AUDIO_init(arena.data(), kArena), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  std::vector<int16_t> dry(1000), wet(256, 12000);
  for (int i = 0; i < 1000; ++i) dry[i] = static_cast<int16_t>(20000 - 37 * i);
  const int h = AUDIO_voicealloc(1, 11025, 50);
  ASSERT_GE(h, 0);
  AUDIO_voiceset(h, AUDIO_VOLUME, 100);
  AUDIO_voiceset(h, AUDIO_PAN, 96);  // right 119, left 55
  ASSERT_EQ(AUDIO_voicequeue(h, dry.data(), 1000, nullptr, nullptr), 0);
  AUDIO_voiceendqueue(h);
  AUDIO_voiceplay(h);
  ASSERT_TRUE(wait_end(h));
  const int w = AUDIO_voicealloc(1, 22050, 50);
  AUDIO_voiceset(w, AUDIO_SEND, 127);
  AUDIO_voiceset(w, AUDIO_REVERBAMOUNT, 127);
  ASSERT_EQ(AUDIO_voicequeue(w, wet.data(), 256, nullptr, nullptr), 0);
  AUDIO_voiceendqueue(w);
  AUDIO_voiceplay(w);
  ASSERT_TRUE(wait_end(w));
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  ASSERT_GE(AUDIO_shutdown(), 0);

  std::ifstream in(path, std::ios::binary);
  std::vector<int16_t> pcm;
  for (int16_t s; in.read(reinterpret_cast<char*>(&s), 2);) pcm.push_back(s);
  const size_t frames = pcm.size() / 2;
  auto first_sound = [&](size_t from) {
    while (from < frames && pcm[2 * from] == 0 && pcm[2 * from + 1] == 0) ++from;
    return from;
  };
  const size_t onset = first_sound(0);
  ASSERT_LT(onset + 6000, frames);
  // Step 0x8000: every other output lies between two inputs. Past the 32-frame gain ramp the
  // samples are the interpolation times the volume and pan gains (left first).
  const float left = 100 * 0.007874016f * (55 * 0.007874016f);
  const float right = 100 * 0.007874016f * (119 * 0.007874016f);
  for (size_t j = 32; j < 1990; ++j) {
    const float t = static_cast<float>((j * 0x8000) & 0xFFFF) * 0.000015258f;
    const float x = dry[j / 2] + (dry[j / 2 + 1] - dry[j / 2]) * t;
    ASSERT_NEAR(pcm[2 * (onset + j)], x * left, 1.0) << j;
    ASSERT_NEAR(pcm[2 * (onset + j) + 1], x * right, 1.0) << j;
  }
  // The dry sound sent nothing, so silence follows it. The second sound's reverb passes part of
  // it at once, then stays silent until the shortest delay line (3181 samples) comes round, and
  // rings on long after the sound's 256 frames.
  const size_t second = first_sound(onset + 2000);
  ASSERT_LT(second + 6000, frames);
  const size_t echo = second + 3181;
  EXPECT_EQ(first_sound(second + 300), echo);
  int ringing = 0, differing = 0;
  for (size_t j = echo; j < second + 6000; ++j) {
    ringing += pcm[2 * j] != 0 || pcm[2 * j + 1] != 0;
    differing += pcm[2 * j] != pcm[2 * j + 1];  // each side hears its own group
  }
  EXPECT_GT(ringing, 1000);
  EXPECT_GT(differing, 1000);
  if (!HasFailure()) std::remove(path.c_str());
}

}  // namespace
