// The arena reverb: building from a parameter block, refusing bad blocks, the per-voice send,
// the channel assignment of the groups and the idle cut-off.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "quillon/engine/engine_testutil.h"

using enginetest::Offline;

namespace {

using Reverb = Offline;

// A block of one group-0 filter per delay (gain 64, damping 0), counts as given.
std::vector<uint8_t> block(std::vector<int16_t> delays, int c0, int c1, int c2) {
  std::vector<uint8_t> b = {
      'F', 'X', 0, 0, static_cast<uint8_t>(c0), static_cast<uint8_t>(c1), static_cast<uint8_t>(c2), 250};
  for (int16_t d : delays) b.insert(b.end(), {static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d), 64, 0});
  return b;
}

std::vector<int> lengths() {
  std::vector<int> n;
  for (const eng::RevFilter& f : eng::g.rev.f)
    if (f.line) n.push_back(f.len);
  return n;
}

TEST_F(Reverb, ShippedBlockAtTheDefaultRate) {
  ASSERT_EQ(AUDIO_setfx(0x20, 100, 1, AUDIO_reverbfile, sizeof AUDIO_reverbfile), 0);
  EXPECT_EQ(lengths(), (std::vector<int>{6263, 5347, 4679, 4283, 3181, 5519, 3691}));
  const eng::RevFilter& f = eng::g.rev.f[0];
  EXPECT_FLOAT_EQ(f.g, 108 / 127.0f);
  EXPECT_FLOAT_EQ(f.a, (232 + 100) / 350.0f * (106 / 127.0f));
  EXPECT_FLOAT_EQ(f.b, (232 + 100) / 350.0f * (1 - 106 / 127.0f));
  // A block taken while stopped is built at the next start, at that start's rate.
  TearDown();
  const std::vector<uint8_t> one = block({284}, 1, 0, 0);
  AUDIO_setfx(0x20, 100, 1, one.data(), one.size());
  start(44100);
  EXPECT_EQ(lengths(), std::vector<int>{12527});  // 44100 x 0.284 = 12524.4, next prime
}

TEST_F(Reverb, DelayLengthsAndBadBlocks) {
  const std::vector<uint8_t> ms70 = block({70}, 1, 0, 0);
  ASSERT_EQ(AUDIO_setfx(0, 100, 1, ms70.data(), ms70.size()), 0);
  EXPECT_EQ(lengths(), std::vector<int>{1543});
  const std::vector<uint8_t> odd = block({0, -50, 1}, 3, 0, 0);  // no delay becomes the shortest prime
  ASSERT_EQ(AUDIO_setfx(0, 100, 1, odd.data(), odd.size()), 0);
  EXPECT_EQ(lengths(), (std::vector<int>{2, 2, 23}));

  const std::vector<uint8_t> twelve = block(std::vector<int16_t>(12, 10), 6, 6, 0);
  const std::vector<uint8_t> shorter = block({10, 10}, 3, 0, 0);
  const std::vector<uint8_t> huge = block({30000, 30000}, 2, 0, 0);  // 2.6 MB of delay lines
  struct Case {
    const char* what;
    const std::vector<uint8_t>& b;
    size_t size;
  };
  const Case bad[] = {{"12 filters", twelve, twelve.size()},
                      {"short of its counts", shorter, shorter.size()},
                      {"shorter than a header", ms70, 7},
                      {"larger than the arena", huge, huge.size()}};
  for (const Case& c : bad) {
    ASSERT_EQ(AUDIO_setfx(0, 100, 1, ms70.data(), ms70.size()), 0);
    AUDIO_lock();
    const int peak = eng::arena_peak();
    AUDIO_unlock();
    EXPECT_EQ(AUDIO_setfx(0, 100, 1, c.b.data(), c.size), AUDIO_ERR) << c.what;
    EXPECT_FALSE(eng::g.rev.on) << c.what;
    EXPECT_TRUE(lengths().empty()) << c.what;
    EXPECT_EQ(eng::g.fx.mode, 0) << c.what;
    AUDIO_lock();
    EXPECT_GE(eng::arena_peak(), peak) << c.what;
    AUDIO_unlock();
  }
  // Mode 2 takes the built-in block whatever the pointer; mode 0 releases the lines.
  ASSERT_EQ(AUDIO_setfx(0, 100, 2, nullptr, 0), 0);
  EXPECT_EQ(lengths(), (std::vector<int>{2207, 1543, 1087, 751}));
  EXPECT_EQ(AUDIO_setfx(1, 100, 2, nullptr, 0), AUDIO_EUNAVAILABLE);  // slot 1
  ASSERT_EQ(AUDIO_setfx(0, 100, 0, nullptr, 0), 0);
  EXPECT_FALSE(eng::g.rev.on);
  EXPECT_TRUE(lengths().empty());
  EXPECT_EQ(eng::g.rev.buf[0], nullptr);
}

TEST_F(Reverb, SendOfAVoice) {
  EXPECT_EQ(eng::fx_sendvalue(127, 64, 100), 50);
  EXPECT_EQ(eng::fx_sendvalue(127, 0, 100), 0);
  ASSERT_EQ(AUDIO_setfx(0, 100, 1, AUDIO_reverbfile, sizeof AUDIO_reverbfile), 0);
  const int h = AUDIO_voicealloc(1, 22050, 50);
  AUDIO_voiceset(h, AUDIO_SEND, 127);
  AUDIO_voiceset(h, AUDIO_REVERBAMOUNT, 64);
  EXPECT_EQ(eng::g.voices[h & 0xFF].send, 50);
  EXPECT_FLOAT_EQ(eng::g.mix[h & 0xFF].sendtgt, 127 * 0.007874016f * (50 * 0.007874016f) * 1.5f);
  AUDIO_setfxlevel(0, 50);  // every voice's send follows the level
  EXPECT_EQ(eng::g.voices[h & 0xFF].send, 25);
}

// Feeds an impulse into the send buffer and runs one block of the groups.
std::vector<std::vector<float>> impulse_response(int frames) {
  AUDIO_lock();
  std::vector<std::vector<float>> out(2);
  for (int b = 0; b * eng::kBlock < frames; ++b) {
    for (int o = 0; o < 2; ++o) std::fill(eng::g.out[o], eng::g.out[o] + eng::kBlock, 0.0f);
    if (b == 0) {
      const float one[1] = {1000.0f};
      eng::rev_send(one, 1.0f, 1.0f, 0, 1, 0);
    }
    eng::rev_process(eng::kBlock);
    for (int o = 0; o < 2; ++o) out[o].insert(out[o].end(), eng::g.out[o], eng::g.out[o] + eng::kBlock);
  }
  AUDIO_unlock();
  return out;
}

TEST_F(Reverb, GroupsFeedTheChannels) {
  // One filter with gain g in group 0 passes -g x at once and g's echo after its delay; in
  // groups 1 and 2 the same. The shipped shape gives each side its own group.
  const std::vector<uint8_t> both = block({10, 20, 30}, 1, 1, 1);  // 223, 443, 661 samples
  ASSERT_EQ(AUDIO_setfx(0, 100, 1, both.data(), both.size()), 0);
  EXPECT_EQ(lengths(), (std::vector<int>{223, 443, 661}));
  auto r = impulse_response(1024);
  const float g = 64 / 127.0f;
  // The impulse passes group 0 (-g) then group 1 or 2 (-g again) on the same sample.
  EXPECT_FLOAT_EQ(r[0][0], 1000 * g * g);
  EXPECT_FLOAT_EQ(r[1][0], 1000 * g * g);
  auto first_echo = [](const std::vector<float>& v, int from) {
    for (int i = from; i < static_cast<int>(v.size()); ++i)
      if (v[i] != 0) return i;
    return -1;
  };
  EXPECT_EQ(first_echo(r[0], 1), 223);  // group 0's echo, through group 1
  EXPECT_NE(r[0][443], r[1][443]);      // right: group 1's own echo at 443
  EXPECT_EQ(r[1][443], 0.0f);
  EXPECT_NE(r[1][661], 0.0f);  // left: group 2's at 661

  // Only one later group: every channel takes it. Neither: every channel takes group 0.
  for (auto shape : {block({10, 20}, 1, 1, 0), block({10, 20}, 1, 0, 1), block({10}, 1, 0, 0)}) {
    ASSERT_EQ(AUDIO_setfx(0, 100, 1, shape.data(), shape.size()), 0);
    r = impulse_response(512);
    EXPECT_EQ(r[0], r[1]);
    EXPECT_NE(r[0][223], 0.0f);
  }
}

TEST_F(Reverb, NoWorkAfterTwoThousandIdleBlocks) {
  ASSERT_EQ(AUDIO_setfx(0, 100, 1, AUDIO_reverbfile, sizeof AUDIO_reverbfile), 0);
  std::vector<int16_t> burst(256, 20000);
  const int h = play(burst, 22050);
  AUDIO_voiceset(h, AUDIO_SEND, 127);
  AUDIO_voiceset(h, AUDIO_REVERBAMOUNT, 127);
  AUDIO_lock();
  eng::mix_block(256);  // the voice's only block, with a send
  EXPECT_EQ(eng::g.rev.processed, 1u);
  for (int i = 0; i < 2000; ++i) eng::mix_block(256);
  const uint64_t worked = eng::g.rev.processed;
  EXPECT_EQ(worked, 1999u);  // the send block and 1998 after it
  for (int i = 0; i < 100; ++i) eng::mix_block(256);
  EXPECT_EQ(eng::g.rev.processed, worked);
  for (int o = 0; o < 2; ++o) EXPECT_EQ(eng::g.out[o][100], 0.0f);
  AUDIO_unlock();
  // A voice with a reverb amount of 0 sends nothing: the reverb stays idle.
  const int quiet = play(burst, 22050);
  AUDIO_voiceset(quiet, AUDIO_SEND, 127);
  AUDIO_lock();
  for (int i = 0; i < 3; ++i) eng::mix_block(256);
  AUDIO_unlock();
  EXPECT_EQ(eng::g.rev.processed, worked);
}

TEST(ReverbRooms, HardwareTables) {
  float volume = -1;
  const std::tuple<int, int, float> rooms[] = {{0, 1, 0.0f},  {1, 1, 0.0f},   {2, 1, 1.0f},    {3, 11, 1.0f},
                                               {30, 0, 1.0f}, {55, 10, 1.0f}, {110, 10, 1.0f}, {76, 25, 1.0f},
                                               {4, 9, 1.0f},  {121, 9, 1.0f}};
  for (auto [code, env, vol] : rooms) {
    EXPECT_EQ(eng::room_environment(code, &volume), env) << code;
    EXPECT_EQ(volume, vol) << code;
  }
  const std::pair<int, int> attenuation[] = {{0, -10000}, {1, -4200}, {2, -3700}, {4, -3000},
                                             {64, -601},  {126, -7},  {127, 0}};
  for (auto [v, db] : attenuation) EXPECT_EQ(eng::hw_attenuation(v), db) << v;
  EXPECT_NEAR(eng::hw_attenuation(20), 2000 * std::log10(20 / 127.0), 1);
}

}  // namespace
