// The engine's configuration, life cycle, arena, laws and voice table.
#include <gtest/gtest.h>

#include <cstring>

#include "quillon/engine/engine_testutil.h"
#include "quillon/runtime/timer.h"

using enginetest::kArena;
using enginetest::Offline;

namespace {

AUDIOCONFIG config() {
  AUDIOCONFIG c;
  EXPECT_EQ(AUDIO_getconfig(&c), 0);
  return c;
}

TEST(EngineConfig, DefaultsAndClamps) {
  AUDIOCONFIG c = config();
  EXPECT_EQ(c.minrate, 11025);
  EXPECT_EQ(c.maxrate, 48000);
  EXPECT_EQ(c.maxchannels, 2);
  EXPECT_EQ(c.maxswvoices, 128);
  EXPECT_EQ(c.classcount, 1);
  EXPECT_EQ(c.classes[0], 0x24);
  EXPECT_EQ(c.azimuth[1][0], 0x4000);
  EXPECT_EQ(c.azimuth[1][1], 0xC000);
  EXPECT_EQ(c.arraypos[3][0], 0x1555);
  const AUDIOCONFIG saved = c;

  struct Case {
    uint16_t rate;
    uint8_t period, swvoices, hwvoices, speakerarray, channels;
    uint16_t wantrate;
    uint8_t wantperiod, wantsw;
  };
  const Case cases[] = {
      {22050, 10, 24, 0, 0, 2, 22050, 10, 24},  // the defaults stand
      {8000, 0, 24, 0, 0, 2, 11025, 1, 24},     // below the lowest rate, period 0
      {50000, 250, 200, 0, 0, 2, 48000, 200, 128},
      {44100, 5, 24, 8, 1, 1, 44100, 5, 24},  // no hardware buffers: no hardware voices, stereo
  };
  for (const Case& k : cases) {
    c = saved;
    c.rate = k.rate, c.period = k.period, c.swvoices = k.swvoices, c.hwvoices = k.hwvoices;
    c.speakerarray = k.speakerarray, c.channels = k.channels;
    c.minrate = 1;  // capabilities are not the caller's to change
    ASSERT_EQ(AUDIO_setconfig(&c), 0);
    const AUDIOCONFIG got = config();
    EXPECT_EQ(got.rate, k.wantrate) << k.rate;
    EXPECT_EQ(got.period, k.wantperiod) << k.rate;
    EXPECT_EQ(got.swvoices, k.wantsw) << k.rate;
    EXPECT_EQ(got.hwvoices, 0) << k.rate;
    EXPECT_EQ(got.speakerarray, 0) << k.rate;
    EXPECT_EQ(got.channels, 2) << k.rate;
    EXPECT_EQ(got.minrate, 11025) << k.rate;
  }
  ASSERT_EQ(AUDIO_setconfig(&saved), 0);
}

TEST(EngineLife, StartTwiceStopOnceRefuseSmallArena) {
  std::vector<uint8_t> arena(kArena);
  EXPECT_EQ(AUDIO_shutdown(), AUDIO_ENOTRUNNING);
  EXPECT_EQ(eng::engine_init(arena.data(), 100, false), AUDIO_ERR);
  EXPECT_EQ(AUDIO_isrunning(), 0);
  ASSERT_EQ(eng::engine_init(arena.data(), kArena, false), 0);
  const eng::Voice* voices = eng::g.voices;
  std::vector<uint8_t> other(kArena);
  EXPECT_EQ(eng::engine_init(other.data(), kArena, false), 0);  // already running: nothing changes
  EXPECT_EQ(eng::g.voices, voices);
  // Changes are refused while running.
  AUDIOCONFIG c = config();
  c.rate = 44100;
  EXPECT_EQ(AUDIO_setconfig(&c), 0);
  EXPECT_EQ(config().rate, 22050);
  const int peak = AUDIO_shutdown();
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, 100);
  EXPECT_EQ(AUDIO_isrunning(), 0);
  EXPECT_EQ(AUDIO_shutdown(), AUDIO_ENOTRUNNING);
  EXPECT_EQ(AUDIO_alloc(4), nullptr);  // no arena once stopped
}

TEST(EngineLife, StreamServicesRunAsASynchronousTaskUnlessGated) {
  static int runs = 0, gate = 0;
  runs = 0;
  std::vector<uint8_t> arena(kArena);
  ASSERT_EQ(TIMER_init(100), 1);
  ASSERT_EQ(AUDIO_attach(), 0);
  ASSERT_EQ(eng::engine_init(arena.data(), kArena, false), 0);
  auto service = [] { return ++runs, 0; };
  ASSERT_EQ(AUDIO_addstreamservice(service), 0);
  AUDIOCONFIG c = config();
  // Runs the synchronous tasks for `ticks` ticks, or until the service has run.
  auto run_tasks = [](uint32_t ticks, bool untilrun) {
    const int before = runs;
    const uint32_t end = TIMER_ticks() + ticks;
    while (TIMER_ticks() < end && !(untilrun && runs > before)) SYNCTASK_run(nullptr);
  };
  run_tasks(100, true);
  EXPECT_GT(runs, 0);
  const int before = runs;
  AUDIO_shutdown();
  c.streamgate = [] { return gate; };
  AUDIO_setconfig(&c);
  ASSERT_EQ(eng::engine_init(arena.data(), kArena, false), 0);
  ASSERT_EQ(AUDIO_addstreamservice(service), 0);  // the lists start empty at every start
  gate = 1;
  run_tasks(3, false);
  EXPECT_EQ(runs, before);
  gate = 0;
  run_tasks(100, true);
  EXPECT_GT(runs, before);
  AUDIO_shutdown();
  c.streamgate = nullptr;
  AUDIO_setconfig(&c);
  TIMER_stop();
}

// The arena on its own, at a size where the table's growth matters.
class Arena : public ::testing::Test {
 protected:
  void SetUp() override { eng::arena_setup(block.data(), static_cast<int32_t>(block.size())); }
  void TearDown() override { eng::g.arena = nullptr; }
  std::vector<uint8_t> block = std::vector<uint8_t>(1024);
};

TEST_F(Arena, FirstFitZeroBytesExhaustionAndBadRelease) {
  auto* a = static_cast<uint8_t*>(AUDIO_alloc(10));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 4, 0u);
  // A 0-byte request takes an entry in the first gap, even the empty one before a; releasing
  // that address drops the 0-byte entry first, so a stays reserved until released itself.
  EXPECT_EQ(AUDIO_alloc(0), a);
  EXPECT_EQ(AUDIO_free(a), 0);
  auto* b = static_cast<uint8_t*>(AUDIO_alloc(100));
  EXPECT_EQ(b, a + 12);                         // rounded up to 4
  EXPECT_EQ(AUDIO_free(a + 4), AUDIO_EHANDLE);  // not a block start: nothing changes
  EXPECT_EQ(AUDIO_free(a), 0);
  EXPECT_EQ(AUDIO_free(a), AUDIO_EHANDLE);
  EXPECT_EQ(AUDIO_alloc(12), a);  // the first gap that holds it
  // Fill the rest: blocks never reach into the table, which grows 8 bytes per entry.
  std::vector<uint8_t*> blocks;
  while (auto* p = static_cast<uint8_t*>(AUDIO_alloc(40))) {
    std::memset(p, 0xEE, 40);
    blocks.push_back(p);
  }
  ASSERT_GT(blocks.size(), 10u);
  EXPECT_EQ(AUDIO_alloc(40), nullptr);
  EXPECT_GT(eng::arena_peak(), 80);
  for (auto* p : blocks) EXPECT_EQ(AUDIO_free(p), 0);
  // The table survived the fill: the earlier blocks are still known.
  EXPECT_EQ(AUDIO_free(b), 0);
  EXPECT_EQ(AUDIO_free(a), 0);
  EXPECT_EQ(AUDIO_alloc(900), a);  // everything is free again
}

TEST(EngineLaws, Pitch) {
  const std::pair<int, int> cases[] = {{0, 4096},    {1200, 8192}, {-1200, 2048}, {100, 4336},
                                       {-100, 3864}, {700, 6144},  {2400, 16384}, {-2400, 1024}};
  for (auto [cents, ratio] : cases) EXPECT_EQ(eng::pitch_ratio(cents), ratio) << cents;
  const uint8_t* t = eng::pitch_table();
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(t[127], 106);
  EXPECT_EQ(t[255], 255);
}

TEST(EngineLaws, VolumeAndPanShape) {
  constexpr int kFull = 127 << 16;
  EXPECT_EQ(eng::volume_law(kFull, kFull, 127, 127), 127);
  EXPECT_EQ(eng::volume_law(0, kFull, 127, 127), 0);
  EXPECT_EQ(eng::volume_law(kFull, kFull, 0, 127), 0);
  EXPECT_EQ(eng::volume_law(kFull, kFull, 100, 127), 100);
  EXPECT_EQ(eng::volume_law(kFull, 64 << 16, 127, 127), 64);
  EXPECT_EQ(eng::volume_law(kFull, -(5 << 16), 127, 127), 0);  // a fade below zero is silence
  EXPECT_EQ(eng::pan_shape(127), 127);
  EXPECT_EQ(eng::pan_shape(64), 96);
  EXPECT_EQ(eng::pan_shape(0), 0);
}

TEST(EngineLaws, PanTable) {
  const uint16_t stereo[] = {0x4000, 0xC000};
  eng::pan_build(2, stereo);
  // Channel 0 is the right speaker. Straight ahead splits between the two across the wrap.
  EXPECT_EQ(eng::g.pan[0][0], 95);
  EXPECT_EQ(eng::g.pan[0][1], 95);
  EXPECT_EQ(eng::g.pan[0x40][0], 127);
  EXPECT_EQ(eng::g.pan[0x40][1], 0);
  EXPECT_EQ(eng::g.pan[0xC0][1], 127);
  EXPECT_EQ(eng::g.pan[0x20][0], 119);
  EXPECT_EQ(eng::g.pan[0x20][1], 55);
  EXPECT_EQ(eng::g.pan[0x80][0], 95);  // behind
  const uint16_t quad[] = {0x2000, 0x6000, 0xA000, 0xE000};
  eng::pan_build(4, quad);
  EXPECT_EQ(eng::g.pan[0x20][0], 127);
  EXPECT_EQ(eng::g.pan[0x40][0], 95);
  EXPECT_EQ(eng::g.pan[0x40][1], 95);
  EXPECT_EQ(eng::g.pan[0x40][2], 0);
  EXPECT_EQ(eng::g.pan[0][3], 95);  // between the last and the first speaker
  EXPECT_EQ(eng::g.pan[0][0], 95);
  eng::pan_build(1, stereo);
  EXPECT_EQ(eng::g.pan[0x77][0], 127);
}

using EngineVoices = Offline;

TEST_F(EngineVoices, AllocationStealingAndHandles) {
  std::vector<int> held;
  for (int i = 0; i < 24; ++i) held.push_back(AUDIO_voicealloc(1, 22050, 101));
  for (int h : held) ASSERT_GE(h, 0);
  EXPECT_EQ(AUDIO_voicealloc(1, 22050, 50), AUDIO_ENOFREE);  // none may be stolen
  EXPECT_EQ(AUDIO_voicealloc(5, 22050, 50), AUDIO_ECHANNELS);

  // Free two; lower the priority of two others; a three-channel sound takes the two free
  // entries and steals the lower-priority one.
  ASSERT_EQ(AUDIO_voicestop(held[3]), 0);
  ASSERT_EQ(AUDIO_voicestop(held[7]), 0);
  EXPECT_EQ(AUDIO_voicestatus(held[3]), 0);
  EXPECT_EQ(AUDIO_voiceset(held[3], AUDIO_VOLUME, 1), AUDIO_EHANDLE);
  const int low = AUDIO_voicealloc(1, 22050, 10);
  const int lower = AUDIO_voicealloc(1, 22050, 5);
  ASSERT_GE(low, 0);
  ASSERT_GE(lower, 0);
  EXPECT_EQ(low & 0xFF, 3);  // the longer-free entry first
  EXPECT_EQ(lower & 0xFF, 7);
  ASSERT_EQ(AUDIO_voicestop(held[20]), 0);
  ASSERT_EQ(AUDIO_voicestop(held[12]), 0);
  const int trio = AUDIO_voicealloc(3, 22050, 60);
  ASSERT_GE(trio, 0);
  EXPECT_EQ(trio & 0xFF, 7);  // sorted: 7 (stolen), 12, 20
  EXPECT_EQ(AUDIO_voicestatus(lower), 0);
  EXPECT_EQ(AUDIO_voicestatus(low), 1);
  const eng::Voice& m = eng::g.voices[7];
  EXPECT_EQ(m.nch, 3);
  EXPECT_EQ(m.chan[1], 12);
  EXPECT_EQ(m.chan[2], 20);
  EXPECT_EQ(eng::g.voices[12].handle, -1);
  EXPECT_EQ(eng::g.voices[20].master, 7);
  EXPECT_NE(trio, lower);  // the serial moved on
  EXPECT_EQ(trio >> 8, (lower >> 8) + 1);
}

}  // namespace
