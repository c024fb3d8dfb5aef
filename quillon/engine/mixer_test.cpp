// The mixer: node chain, gain ramps, conversion, processor variants and the control tick.
#include <gtest/gtest.h>

#include <cmath>

#include "quillon/engine/engine_testutil.h"

using enginetest::Offline;

namespace {

using Mixer = Offline;

std::vector<int16_t> constant(int frames, int16_t value) {
  return std::vector<int16_t>(frames, value);
}

// Gain of one output channel for a voice at volume v and pan table entry p.
float gain(int v, int p) {
  return v * 0.007874016f * (p * 0.007874016f);
}

TEST(MixerConvert, RoundsToNearestAndClampsInEveryVariant) {
  float ch0[8] = {0.5f, 1.5f, -0.5f, -1.5f, 40000.0f, -40000.0f, 32766.6f, -2.4f};
  float ch1[8] = {2.5f, 3.49f, -32768.0f, 32767.0f, 1e30f, -1e30f, 0.0f, 7.5f};
  float* ch[2] = {ch0, ch1};
  const int order[2] = {1, 0};
  const int16_t want[16] = {2, 0, 3, 2, -32768, 0, 32767, -2, 32767, 32767, -32768, -32768, 0, 32767, 8, -2};
  for (int v = 0; v < eng::mix_variants(); ++v) {
    int16_t got[16] = {};
    eng::mix_variant(v)->convert(got, ch, order, 2, 8);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(got[i], want[i]) << eng::mix_variant(v)->name << " " << i;
  }
}

TEST_F(Mixer, EveryVariantMixesTheSameBits) {
  std::vector<int16_t> a(3000), b(5000);
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<int16_t>(std::sin(i * 0.05) * 20000);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<int16_t>((i * 7919 % 60000) - 30000);
  std::vector<std::vector<int16_t>> outs;
  for (int v = 0; v < eng::mix_variants(); ++v) {
    TearDown();
    start();
    AUDIO_setfx(0, 100, 1, AUDIO_reverbfile, sizeof AUDIO_reverbfile);
    eng::g.routines = eng::mix_variant(v);
    const int h1 = play(a, 11025);
    AUDIO_voiceset(h1, AUDIO_SEND, 127);
    AUDIO_voiceset(h1, AUDIO_REVERBAMOUNT, 90);
    AUDIO_voiceset(h1, AUDIO_LOWPASS, 3000);
    const int h2 = play(b, 30000);
    AUDIO_voiceset(h2, AUDIO_PAN, 20);
    AUDIO_voiceset(h2, AUDIO_HIGHPASS, 200);
    outs.push_back(render(6000));
  }
  for (size_t v = 1; v < outs.size(); ++v) EXPECT_EQ(outs[v], outs[0]) << eng::mix_variant(v)->name;
}

TEST_F(Mixer, GainRampThenSteadyGainsFollowVolumeAndPan) {
  const int h = play(constant(1000, 10000), 22050);
  ASSERT_EQ(AUDIO_voiceset(h, AUDIO_VOLUME, 100), 0);
  ASSERT_EQ(AUDIO_voiceset(h, AUDIO_PAN, 96), 0);  // azimuth 0x2000: right 119, left 55
  const std::vector<int16_t> out = render(600);
  const float right = gain(100, 119), left = gain(100, 55);
  // The first 32 frames ramp from silence; the left sample comes first.
  for (int i = 0; i < 32; ++i) {
    EXPECT_NEAR(out[2 * i], 10000 * left * (i + 1) / 32, 1) << i;
    EXPECT_NEAR(out[2 * i + 1], 10000 * right * (i + 1) / 32, 1) << i;
  }
  for (int i = 32; i < 600; ++i) {
    ASSERT_NEAR(out[2 * i], 10000 * left, 0.5) << i;
    ASSERT_NEAR(out[2 * i + 1], 10000 * right, 0.5) << i;
  }
}

TEST_F(Mixer, EndOfDataStopsTheVoiceAndCallsTheEndHook) {
  static int ended = 0;
  ended = 0;
  AUDIO_setendhook([](int handle) { ended = handle; });
  const int h = play(constant(300, 5000), 22050);
  const std::vector<int16_t> out = render(512);
  EXPECT_EQ(ended, h);
  EXPECT_EQ(AUDIO_voicestatus(h), 0);
  EXPECT_NE(out[2 * 299], 0);
  EXPECT_EQ(out[2 * 300], 0);
  AUDIO_setendhook(nullptr);
}

TEST_F(Mixer, QueueGivesBuffersBackAndStarvesIntoSilence) {
  static std::vector<int> returned;
  returned.clear();
  auto done = [](void* user) { returned.push_back(static_cast<int>(reinterpret_cast<intptr_t>(user))); };
  const std::vector<int16_t> pcm = constant(200, 8000);
  const int h = AUDIO_voicealloc(2, 22050, 50);
  for (int i = 0; i < 8; ++i)
    ASSERT_EQ(AUDIO_voicequeue(h, pcm.data(), 100, done, reinterpret_cast<void*>(intptr_t{i})), 0);
  EXPECT_EQ(AUDIO_voicequeue(h, pcm.data(), 100, done, nullptr), AUDIO_EQUEUEFULL);
  ASSERT_EQ(AUDIO_voiceplay(h), 0);
  render(250);  // both channels have passed the first two buffers
  EXPECT_EQ(returned, (std::vector<int>{0, 1}));
  render(600);  // the queue ran dry without an end: silence, the voice still plays
  EXPECT_EQ(returned.size(), 8u);
  EXPECT_EQ(AUDIO_voicestatus(h), 1);
  const std::vector<int16_t> quiet = render(64);
  EXPECT_EQ(quiet, std::vector<int16_t>(128, 0));
  ASSERT_EQ(AUDIO_voicequeue(h, pcm.data(), 100, done, reinterpret_cast<void*>(intptr_t{42})), 0);
  ASSERT_EQ(AUDIO_voicestop(h), 0);  // a stop gives back what is still queued
  EXPECT_EQ(returned.back(), 42);
}

// Linear and cubic interpolation both reproduce a straight line; across blocks too.
TEST_F(Mixer, ResamplerFollowsARampAcrossBlocks) {
  std::vector<int16_t> ramp(2000);
  for (int i = 0; i < 2000; ++i) ramp[i] = static_cast<int16_t>(i * 10);
  for (int quality : {0, 50}) {
    TearDown();
    start(22050, quality);
    const int h = play(ramp, 11025);  // step 0x8000: two outputs per input
    EXPECT_EQ(eng::g.mix[h & 0xFF].step, 0x8000);
    EXPECT_EQ(AUDIO_voiceset(h, AUDIO_PAN, 127 - 31), 0);  // right speaker only... nearly
    const std::vector<int16_t> out = render(1500);
    const float right = gain(127, 119);
    for (int i = 40; i < 1500; ++i) {
      const float t = ((i * 0x8000) & 0xFFFF) * 0.000015258f;
      const float x = (i / 2) * 10 + 10 * t;
      ASSERT_NEAR(out[2 * i + 1], x * right, 1.0) << "quality " << quality << " frame " << i;
    }
  }
}

TEST_F(Mixer, PitchMovesTheStep) {
  const int h = play(constant(100000, 1000), 22050);
  const eng::MixVoice& v = eng::g.mix[h & 0xFF];
  EXPECT_EQ(eng::g.mix[h & 0xFF].head, &v.src);  // 1.0: no resampler
  AUDIO_voiceset(h, AUDIO_BASEPITCH, 1200);
  EXPECT_EQ(v.step, 0x20000);
  EXPECT_EQ(v.head, &v.res);
  AUDIO_voiceset(h, AUDIO_BASEPITCH, 4800);
  EXPECT_EQ(v.step, 0x40000);  // capped at 4.0
  AUDIO_voiceset(h, AUDIO_BASEPITCH, 0);
  AUDIO_voiceset(h, AUDIO_BENDRANGE, 1200);
  AUDIO_voiceset(h, AUDIO_BEND, 0);  // a full bend down
  EXPECT_EQ(v.step, 0x8000);
  AUDIO_voiceset(h, AUDIO_BEND, 64);
  EXPECT_EQ(v.head, &v.src);
}

TEST_F(Mixer, LowPassAndGlidingHighPass) {
  const int h = play(constant(20000, 10000), 22050);
  ASSERT_EQ(AUDIO_voiceset(h, AUDIO_PAN, 96), 0);
  ASSERT_EQ(AUDIO_voiceset(h, AUDIO_LOWPASS, 1000), 0);
  const eng::MixVoice& v = eng::g.mix[h & 0xFF];
  EXPECT_EQ(v.head, &v.lp);
  EXPECT_FLOAT_EQ(v.k, 1000.0f / 11025.0f);
  std::vector<int16_t> out = render(2000);
  const float right = gain(127, 119);
  // y1 = k x: the first frame also carries the ramp's 1/32.
  EXPECT_NEAR(out[1], 10000 * v.k * right / 32, 1);
  EXPECT_NEAR(out[2 * 1999 + 1], 10000 * right, 1);       // settles on the input
  ASSERT_EQ(AUDIO_voiceset(h, AUDIO_LOWPASS, 11025), 0);  // k = 1: removed
  EXPECT_EQ(v.head, &v.src);

  ASSERT_EQ(AUDIO_voiceset(h, AUDIO_HIGHPASS, 2205), 0);  // fn 0.1 at once
  EXPECT_FLOAT_EQ(v.fn, 0.1f);
  ASSERT_EQ(AUDIO_voiceset(h, AUDIO_HIGHPASS, 9000), 0);  // target 0.408..: glides by 0.1 a block
  AUDIO_lock();
  eng::mix_block(256);
  EXPECT_FLOAT_EQ(v.fn, 0.2f);
  for (int i = 0; i < 3; ++i) eng::mix_block(256);
  AUDIO_unlock();
  EXPECT_FLOAT_EQ(v.fn, 9000.0f / 22050.0f);
  out = render(256);
  EXPECT_NEAR(out[2 * 255 + 1], 0, 1);  // a constant is removed
  ASSERT_EQ(AUDIO_voiceset(h, AUDIO_HIGHPASS, 0), 0);
  EXPECT_EQ(v.head, &v.src);
}

TEST_F(Mixer, HundredTicksPerSecondOfOutputAndTheRestart) {
  render(22048);
  EXPECT_EQ(AUDIO_tickcount(), 100u);  // ticks 0..99
  render(1);
  EXPECT_EQ(AUDIO_tickcount(), 101u);  // tick 100 is due at 22050 rounded down to 22048
  // Tick k falls on frame k x 22050 / 100 rounded down to 16: tick 1 at 208, tick 2 at 432.
  TearDown();
  start();
  render(208);
  EXPECT_EQ(AUDIO_tickcount(), 1u);
  render(1);
  EXPECT_EQ(AUDIO_tickcount(), 2u);
  // Near the restart: tick 29999 is due at frame 6614768, tick 30000 (now 0) at 6614992.
  eng::g.tick = 29999;
  eng::g.frame = 6614768 - 1;
  const uint32_t before = AUDIO_tickcount();
  render(1 + 224 + 1);
  EXPECT_EQ(AUDIO_tickcount(), before + 2);
  EXPECT_EQ(eng::g.tick, 1);
  EXPECT_EQ(eng::g.frame, 1);
}

TEST_F(Mixer, FadesAndEnvelopesEndVoices) {
  static int ended = 0;
  AUDIO_setendhook([](int handle) { ended = handle; });
  const int fade = AUDIO_voicealloc(1, 22050, 50);
  ASSERT_EQ(AUDIO_voicefade(fade, 64, 10), 0);
  const int env = AUDIO_voicealloc(1, 22050, 50);
  const AUDIOENVSEG segs[] = {{0, 5}, {127, 0}, {100, 3}};
  ASSERT_EQ(AUDIO_voiceenvelope(env, segs, 3), 0);
  AUDIO_lock();
  for (int i = 0; i < 5; ++i) AUDIO_tick();
  EXPECT_EQ(eng::g.voices[fade & 0xFF].curvolume, 95);  // half way from 127 to 64
  EXPECT_EQ(eng::g.voices[env & 0xFF].curvolume, 0);    // end of the first segment
  AUDIO_tick();
  EXPECT_EQ(eng::g.voices[env & 0xFF].curvolume, 127);  // a 0-tick segment takes one tick
  for (int i = 0; i < 4; ++i) AUDIO_tick();
  EXPECT_EQ(eng::g.voices[fade & 0xFF].curvolume, 64);
  AUDIO_unlock();
  EXPECT_EQ(ended, env);  // passing the last segment ends the voice
  EXPECT_EQ(AUDIO_voicestatus(fade), 1);
  ASSERT_EQ(AUDIO_voicefade(fade, -1, 3), 0);  // fading below zero ends it
  AUDIO_lock();
  for (int i = 0; i < 3; ++i) AUDIO_tick();
  AUDIO_unlock();
  EXPECT_EQ(ended, fade);
  AUDIO_setendhook(nullptr);
}

}  // namespace
