#include "quillon/soundcore/filters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quillon/runtime/gmem.h"

namespace {

struct FreeSinfo {
  void operator()(SINFO* p) const { AUREX_freesinfo(p); }
};
using Sound = std::unique_ptr<SINFO, FreeSinfo>;
using Fill = std::function<int16_t(int channel, int32_t frame)>;

// A one-timbre sound; frame i of channel c holds fill(c, i).
Sound makesound(int channels, int32_t frames, int32_t rate, const Fill& fill) {
  Sound s(AUREX_newsinfo());
  STIMBRE& t = s->timbres[0];
  t.numchannels = static_cast<int8_t>(channels);
  t.numsamples = frames;
  t.samplerate = rate;
  EXPECT_EQ(AUREX_allocsamples(&t), 0);
  for (int c = 0; c < channels; ++c)
    for (int32_t i = 0; i < frames; ++i) t.samples[c][i] = fill(c, i);
  return s;
}

// Distinct, non-zero, sign-alternating values per channel, so moved data is recognisable.
int16_t ramp(int c, int32_t i) {
  return static_cast<int16_t>((i % 2 ? -1 : 1) * (1 + c * 5000 + i % 4000));
}

std::vector<int16_t> channel(const STIMBRE& t, int c) {
  return t.samples[c] ? std::vector<int16_t>(t.samples[c], t.samples[c] + t.numsamples)
                      : std::vector<int16_t>{};
}

// Every owned buffer of the record matches its length fields: a deep copy reads numsamples
// frames of each channel (out of bounds under the sanitizer when a buffer is shorter), and the
// copy frees cleanly.
void expectconsistent(const SINFO* s) {
  auto* copy = static_cast<SINFO*>(galloc(sizeof(SINFO)));
  ASSERT_NE(copy, nullptr);
  ASSERT_EQ(AUREX_copysinfo(copy, s), 1);
  for (int c = 0; c < s->timbres[0].numchannels; ++c)
    EXPECT_EQ(channel(copy->timbres[0], c), channel(s->timbres[0], c));
  EXPECT_EQ(AUREX_freesinfo(copy), 1);
}

// ---- fades -----------------------------------------------------------------------------------

struct FadeCase {
  int32_t rate, frames, ms, ramp;  // ramp = expected number of faded frames
};

class Fade : public testing::TestWithParam<FadeCase> {};

TEST_P(Fade, InRampsLinearlyFromZero) {
  const FadeCase p = GetParam();
  Sound s = makesound(2, p.frames, p.rate, [](int c, int32_t) { return int16_t(c ? -30001 : 30001); });
  ASSERT_EQ(AUREX_filterfadeinsinfo(s.get(), p.ms), 1);
  const STIMBRE& t = s->timbres[0];
  for (int32_t i = 0; i < p.frames; ++i) {
    const int32_t want = i < p.ramp ? int32_t(int64_t{30001} * i / p.ramp) : 30001;
    ASSERT_EQ(t.samples[0][i], want) << i;
    ASSERT_EQ(t.samples[1][i], -want) << i;  // truncation toward zero on both signs
  }
}

TEST_P(Fade, OutRampsLinearlyToZero) {
  const FadeCase p = GetParam();
  Sound s = makesound(2, p.frames, p.rate, [](int c, int32_t) { return int16_t(c ? -30001 : 30001); });
  ASSERT_EQ(AUREX_filterfadeoutsinfo(s.get(), p.ms), 1);
  const STIMBRE& t = s->timbres[0];
  for (int32_t i = 0; i < p.frames; ++i) {
    const int32_t k = i - (p.frames - p.ramp);
    const int32_t want = k >= 0 ? int32_t(int64_t{30001} * (p.ramp - 1 - k) / p.ramp) : 30001;
    ASSERT_EQ(t.samples[0][i], want) << i;
    ASSERT_EQ(t.samples[1][i], -want) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Filters, Fade,
                         testing::Values(FadeCase{22050, 30000, 500, 11025},   // 500 ms at 22050 Hz
                                         FadeCase{44100, 90000, 1500, 66150},  // the import job's fade-out
                                         FadeCase{22050, 4410, 1500, 4410},    // longer than the sound
                                         FadeCase{8000, 100, 0, 0},            // nothing to fade
                                         FadeCase{8000, 100, -20, 0}));

TEST(Filters, FadeIn500msAt22050Hz) {
  Sound s = makesound(1, 22050, 22050, [](int, int32_t) { return int16_t(11025); });
  ASSERT_EQ(AUREX_filterfadeinsound(&s->timbres[0], 500), 1);
  EXPECT_EQ(s->timbres[0].samples[0][0], 0);
  EXPECT_EQ(s->timbres[0].samples[0][11024], 11024);  // keeps 11024/11025 of its value
  EXPECT_EQ(s->timbres[0].samples[0][11025], 11025);
}

// The import job on a 0.2 s sound: both fades cover all of it, the second on top of the first.
TEST(Filters, ShortSoundIsFadedInAndOutOverItsWholeLength) {
  constexpr int32_t n = 8820;  // 0.2 s at 44100 Hz
  Sound s = makesound(2, n, 44100, [](int c, int32_t) { return int16_t(c ? -32768 : 32767); });
  ASSERT_EQ(AUREX_filterfadeinsinfo(s.get(), 500), 1);
  ASSERT_EQ(AUREX_filterfadeoutsinfo(s.get(), 1500), 1);
  const STIMBRE& t = s->timbres[0];
  for (int32_t i = 0; i < n; ++i) {
    for (int c = 0; c < 2; ++c) {
      const int64_t in = (c ? -32768 : 32767) * int64_t{i} / n;
      ASSERT_EQ(t.samples[c][i], in * (n - 1 - i) / n) << c << " " << i;
    }
  }
  EXPECT_EQ(t.samples[0][0], 0);
  EXPECT_EQ(t.samples[0][n - 1], 0);
}

// At 44.1 kHz the 1500 ms fade-out multiplies by up to 66149: a loud sample where the fade
// begins must come out just below full level, not wrap around into a click.
TEST(Filters, LoudFadeOutStartHasNoClick) {
  constexpr int32_t n = 44100 * 3;
  Sound s = makesound(2, n, 44100, [](int c, int32_t) { return int16_t(c ? -32768 : 32767); });
  ASSERT_EQ(AUREX_filterfadeoutsinfo(s.get(), 1500), 1);
  const STIMBRE& t = s->timbres[0];
  const int32_t start = n - 66150;
  EXPECT_EQ(t.samples[0][start - 1], 32767);
  EXPECT_EQ(t.samples[0][start], 32766);  // 32767 x 66149 / 66150
  EXPECT_EQ(t.samples[1][start], -32767);
  for (int32_t i = start; i < n; ++i) {
    ASSERT_LE(t.samples[0][i], t.samples[0][i - 1]) << i;
    ASSERT_GE(t.samples[1][i], t.samples[1][i - 1]) << i;
    ASSERT_GE(t.samples[0][i], 0) << i;
  }
  EXPECT_EQ(t.samples[0][n - 1], 0);
}

// ---- clip and the loop rules -----------------------------------------------------------------

struct ClipCase {
  const char* name;
  int32_t frames, loopstart, loopend, start, length;
  int result;
  int32_t wantloopstart, wantloopend;
};

class Clip : public testing::TestWithParam<ClipCase> {};

TEST_P(Clip, KeepsTheSectionAndMovesTheLoop) {
  const ClipCase p = GetParam();
  Sound s = makesound(2, p.frames, 22050, ramp);
  STIMBRE& t = s->timbres[0];
  t.loopstart = p.loopstart;
  t.loopend = p.loopend;
  const std::vector<int16_t> before1 = channel(t, 1);
  ASSERT_EQ(AUREX_filterclipsinfo(s.get(), p.start, p.length), p.result);
  if (!p.result) {
    EXPECT_EQ(t.numsamples, p.frames);
    EXPECT_EQ(channel(t, 1), before1);
    return;
  }
  ASSERT_EQ(t.numsamples, p.length);
  EXPECT_EQ(t.loopstart, p.wantloopstart);
  EXPECT_EQ(t.loopend, p.wantloopend);
  for (int c = 0; c < 2; ++c)
    for (int32_t k = 0; k < p.length; ++k) {
      const int64_t from = int64_t{p.start} + k;
      ASSERT_EQ(t.samples[c][k], from >= 0 && from < p.frames ? ramp(c, int32_t(from)) : 0) << c << " " << k;
    }
  expectconsistent(s.get());
}

INSTANTIATE_TEST_SUITE_P(
    Filters, Clip,
    testing::Values(ClipCase{"DoubleLengthPadsSilenceAndKeepsLoop", 1000, 100, 899, 0, 2000, 1, 100, 899},
                    ClipCase{"NegativeStartPadsInFront", 1000, 100, 899, -10, 1010, 1, 110, 909},
                    ClipCase{"LoopEndPastNewEndClearsLoop", 1000, 100, 899, 0, 899, 1, -1, -1},
                    ClipCase{"LoopEndOnNewLastFrameStays", 1000, 100, 899, 0, 900, 1, 100, 899},
                    ClipCase{"LoopStartCutOffClearsLoop", 1000, 100, 899, 101, 850, 1, -1, -1},
                    ClipCase{"MiddleSectionMovesLoopDown", 1000, 100, 899, 100, 800, 1, 0, 799},
                    ClipCase{"NoLoopStaysUnset", 1000, -1, -1, 10, 20, 1, -1, -1},
                    ClipCase{"WhollyOutsideIsSilence", 1000, -1, -1, 5000, 30, 1, -1, -1},
                    ClipCase{"ZeroLengthFails", 1000, 100, 899, 0, 0, 0, 0, 0},
                    ClipCase{"NegativeLengthFails", 1000, 100, 899, 0, -5, 0, 0, 0}),
    [](const testing::TestParamInfo<ClipCase>& i) { return std::string(i.param.name); });

TEST(Filters, LengthFiltersLeaveEncodedTimbresAlone) {
  Sound s = makesound(1, 1000, 22050, ramp);
  STIMBRE& t = s->timbres[0];
  t.loopstart = 30;
  t.loopend = 99;
  t.encoded[0] = galloc(16);
  t.encodedsize[0] = 16;
  int16_t* const data = t.samples[0];
  EXPECT_EQ(AUREX_filterclipsound(&t, 0, 10), 1);
  EXPECT_EQ(AUREX_filteralignloopsound(&t), 1);
  EXPECT_EQ(AUREX_filtertruncateloopendsound(&t, 28), 1);
  EXPECT_EQ(AUREX_filtertruncateloopsectionsinfo(s.get()), 1);
  EXPECT_EQ(AUREX_filterdownsampletofitsound(&t, 10), 1);
  EXPECT_EQ(t.numsamples, 1000);
  EXPECT_EQ(t.samples[0], data);
  EXPECT_EQ(t.loopstart, 30);
}

struct AlignCase {
  int32_t frames, loopstart, loopend;
  int32_t wantframes, wantloopstart, wantloopend, shift;  // shift = silent frames put in front
};

class AlignLoop : public testing::TestWithParam<AlignCase> {};

TEST_P(AlignLoop, LoopStartsOnABlock) {
  const AlignCase p = GetParam();
  Sound s = makesound(2, p.frames, 22050, ramp);
  STIMBRE& t = s->timbres[0];
  t.loopstart = p.loopstart;
  t.loopend = p.loopend;
  ASSERT_EQ(AUREX_filteralignloopsinfo(s.get()), 1);
  EXPECT_EQ(t.numsamples, p.wantframes);
  EXPECT_EQ(t.loopstart, p.wantloopstart);
  EXPECT_EQ(t.loopend, p.wantloopend);
  for (int32_t k = 0; k < t.numsamples; ++k) {
    const int32_t from = k - p.shift;
    ASSERT_EQ(t.samples[1][k], from >= 0 && from < p.frames ? ramp(1, from) : 0) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Filters, AlignLoop,
                         testing::Values(AlignCase{100, 30, 90, 140, 56, 116, 26},   // r = 2
                                         AlignCase{110, 27, 99, 112, 28, 100, 1},    // r = 27
                                         AlignCase{113, 29, 112, 140, 56, 139, 27},  // d a multiple of 28
                                         AlignCase{100, 56, 90, 100, 56, 90, 0},     // already aligned
                                         AlignCase{100, -1, -1, 100, -1, -1, 0}));   // no loop

struct TrimCase {
  const char* name;
  int rep;
  int32_t frames;
  int32_t firstsound, lastsound;  // the non-zero frames, both channels (channel 1 only when c1only)
  bool c1only, loop;
  int result;
  int32_t wantframes, wantoffset;
};

class TrimSilentBlocks : public testing::TestWithParam<TrimCase> {};

TEST_P(TrimSilentBlocks, DropsSilentEndBlocks) {
  const TrimCase p = GetParam();
  Sound s = makesound(2, p.frames, 22050, [&p](int c, int32_t i) {
    return int16_t(i >= p.firstsound && i <= p.lastsound && (c == 1 || !p.c1only) ? i + 1 : 0);
  });
  STIMBRE& t = s->timbres[0];
  t.samplerep = static_cast<int8_t>(p.rep);
  if (p.loop) {
    t.loopstart = 56;
    t.loopend = p.frames - 1;
  }
  ASSERT_EQ(AUREX_filtertrimsilentblocks(&t), p.result);
  ASSERT_EQ(t.numsamples, p.wantframes);
  for (int32_t k = 0; k < t.numsamples; ++k) {
    const int32_t i = k + p.wantoffset;
    ASSERT_EQ(t.samples[1][k], i >= p.firstsound && i <= p.lastsound ? i + 1 : 0) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Filters, TrimSilentBlocks,
    testing::Values(TrimCase{"BothEnds", SREP_VAG_BLK, 140, 28, 111, false, false, 1, 84, 28},
                    TrimCase{"SoundInSecondChannelKeepsHead", SREP_VAG_BLK, 140, 27, 111, true, false, 1, 112,
                             0},
                    TrimCase{"LoopKeepsTail", SREP_VAG_BLK, 140, 28, 111, false, true, 1, 112, 28},
                    TrimCase{"NothingSilent", SREP_VAG_BLK, 140, 0, 139, false, false, 1, 140, 0},
                    TrimCase{"AllSilentBlockFails", SREP_VAG_BLK, 28, 99, 99, false, false, 0, 28, 0},
                    TrimCase{"ShorterThanABlock", SREP_VAG_BLK, 20, 99, 99, false, false, 1, 20, 0},
                    TrimCase{"NotVagFails", SREP_QVXA_BLK, 140, 28, 111, false, false, 0, 140, 0}),
    [](const testing::TestParamInfo<TrimCase>& i) { return std::string(i.param.name); });

struct LoopEndCase {
  int32_t frames, loopend, blocksize;
  int looptruncate;
  int32_t wantframes;
};

class TruncateLoopEnd : public testing::TestWithParam<LoopEndCase> {};

TEST_P(TruncateLoopEnd, CutsAfterTheLoop) {
  const LoopEndCase p = GetParam();
  Sound s = makesound(2, p.frames, 22050, ramp);
  STIMBRE& t = s->timbres[0];
  t.loopstart = 10;
  t.loopend = p.loopend;
  t.looptruncate = static_cast<int8_t>(p.looptruncate);
  ASSERT_EQ(AUREX_filtertruncateloopendsinfo(s.get(), p.blocksize), 1);
  ASSERT_EQ(t.numsamples, p.wantframes);
  EXPECT_EQ(t.loopend, p.loopend);
  for (int c = 0; c < 2; ++c)
    for (int32_t k = 0; k < t.numsamples; ++k) ASSERT_EQ(t.samples[c][k], ramp(c, k));
  expectconsistent(s.get());
}

INSTANTIATE_TEST_SUITE_P(Filters, TruncateLoopEnd,
                         testing::Values(LoopEndCase{1000, 99, 28, 1, 112},   // rounded up to a block
                                         LoopEndCase{1000, 99, 0, 1, 100},    // no block size
                                         LoopEndCase{1000, 99, 28, 0, 1000},  // truncation off
                                         LoopEndCase{128, 99, 28, 1, 128},    // 99 + 1 + 28 reaches the end
                                         LoopEndCase{129, 99, 28, 1, 112},
                                         LoopEndCase{1000, -1, 28, 1, 1000}));  // no loop

TEST(Filters, TruncateLoopSectionKeepsEachTimbresLoop) {
  Sound s = makesound(2, 100, 22050, ramp);
  s->numtimbres = 4;
  const int32_t loops[4][3] = {
      {10, 19, 1}, {0, 99, 1}, {10, 19, 0}, {50, 150, 1}};  // start, end, looptruncate
  for (int i = 1; i < 4; ++i) {
    STIMBRE& t = s->timbres[i];
    t = s->timbres[0];
    t.samples[0] = t.samples[1] = nullptr;
    ASSERT_EQ(AUREX_allocsamples(&t), 0);
    for (int c = 0; c < 2; ++c) std::memcpy(t.samples[c], s->timbres[0].samples[c], 200);
  }
  for (int i = 0; i < 4; ++i) {
    s->timbres[i].loopstart = loops[i][0];
    s->timbres[i].loopend = loops[i][1];
    s->timbres[i].looptruncate = static_cast<int8_t>(loops[i][2]);
  }
  ASSERT_EQ(AUREX_filtertruncateloopsectionsinfo(s.get()), 1);
  const STIMBRE& a = s->timbres[0];
  ASSERT_EQ(a.numsamples, 10);
  EXPECT_EQ(a.loopstart, 0);
  EXPECT_EQ(a.loopend, 9);
  for (int32_t k = 0; k < 10; ++k) EXPECT_EQ(a.samples[1][k], ramp(1, 10 + k));
  const STIMBRE& whole = s->timbres[1];
  EXPECT_EQ(whole.numsamples, 100);
  EXPECT_EQ(whole.loopend, 99);
  for (int32_t k = 0; k < 100; ++k) EXPECT_EQ(whole.samples[1][k], ramp(1, k));
  EXPECT_EQ(s->timbres[2].numsamples, 100);  // truncation off
  EXPECT_EQ(s->timbres[3].numsamples, 100);  // loop reaching past the end is left alone
  EXPECT_EQ(s->timbres[3].loopend, 150);
}

// ---- sample rate -------------------------------------------------------------------------------

TEST(Filters, ResampleHalvesLengthAndLoop) {
  struct Case {
    int32_t frames, loopstart, loopend, wantframes, wantloopstart, wantloopend;
  };
  const Case cases[] = {{44101, 1001, 40001, 22050, 500, 20000},
                        {1000, 0, 999, 500, 0, 499},
                        {999, 3, 998, 499, 1, 498},  // trunc(998 / 2) = 499 would be past the end
                        {1000, -1, -1, 500, -1, -1}};
  for (const Case& c : cases) {
    Sound s = makesound(2, c.frames, 44100, ramp);
    STIMBRE& t = s->timbres[0];
    t.loopstart = c.loopstart;
    t.loopend = c.loopend;
    int16_t* const old = t.samples[0];
    ASSERT_EQ(AUREX_filterresamplesinfo(s.get(), 22050), 1);
    EXPECT_EQ(t.samplerate, 22050);
    EXPECT_EQ(t.numsamples, c.wantframes);
    EXPECT_EQ(t.loopstart, c.wantloopstart);
    EXPECT_EQ(t.loopend, c.wantloopend);
    EXPECT_NE(t.samples[0], old);
    expectconsistent(s.get());
  }
}

TEST(Filters, ResampleToTheSameRateChangesNothing) {
  Sound s = makesound(1, 100, 44100, ramp);
  int16_t* const data = s->timbres[0].samples[0];
  ASSERT_EQ(AUREX_filterresamplesound(&s->timbres[0], 44100), 1);
  EXPECT_EQ(s->timbres[0].samples[0], data);
  EXPECT_EQ(s->timbres[0].numsamples, 100);
}

TEST(Filters, ResampleRefusesRatesItCannotReach) {
  struct Case {
    int32_t from, to;
    const char* message;
  };
  const Case cases[] = {{44100, 0, "Can't re-sample to or from a sample rate of 0 or less."},
                        {0, 22050, "Can't re-sample to or from a sample rate of 0 or less."},
                        {44100, 500, "Re-sampling factor out of range in AUREX_resample."}};
  for (const Case& c : cases) {
    Sound s = makesound(2, 1000, c.from, ramp);
    const std::vector<int16_t> before = channel(s->timbres[0], 1);
    EXPECT_EQ(AUREX_filterresamplesound(&s->timbres[0], c.to), 0);
    EXPECT_STREQ(AUREX_lasterror(), c.message);
    EXPECT_EQ(s->timbres[0].numsamples, 1000);
    EXPECT_EQ(s->timbres[0].samplerate, c.from);
    EXPECT_EQ(channel(s->timbres[0], 1), before);
  }
}

// The SINFO form stops at the first timbre that fails and leaves the later ones alone.
TEST(Filters, SinfoFormStopsAtFirstFailure) {
  Sound s = makesound(1, 1000, 44100, ramp);
  s->numtimbres = 3;
  for (int i = 1; i < 3; ++i) {
    s->timbres[i] = s->timbres[0];
    s->timbres[i].samples[0] = nullptr;
    ASSERT_EQ(AUREX_allocsamples(&s->timbres[i]), 0);
  }
  s->timbres[1].samplerate = 0;
  EXPECT_EQ(AUREX_filterresamplesinfo(s.get(), 22050), 0);
  EXPECT_EQ(s->timbres[0].numsamples, 500);
  EXPECT_EQ(s->timbres[1].numsamples, 1000);
  EXPECT_EQ(s->timbres[2].numsamples, 1000);
  EXPECT_EQ(s->timbres[2].samplerate, 44100);
}

TEST(Filters, DownsampleToFit) {
  struct Case {
    int32_t frames, rate, maxframes;
    int result;
    int32_t wantrate;
  };
  const Case cases[] = {{44100, 44100, 22050, 1, 22050},
                        {44100, 44100, 44100, 1, 44100},
                        {1000, 22050, 5000, 1, 22050},
                        {100000, 44100, 33333, 1, 14699},
                        {100000, 44100, 0, 0, 44100}};
  for (const Case& c : cases) {
    Sound s = makesound(1, c.frames, c.rate, ramp);
    ASSERT_EQ(AUREX_filterdownsampletofitsinfo(s.get(), c.maxframes), c.result) << c.maxframes;
    EXPECT_EQ(s->timbres[0].samplerate, c.wantrate);
    if (c.result) {
      EXPECT_LE(s->timbres[0].numsamples, c.maxframes);
    }
  }
}

// ---- channels ----------------------------------------------------------------------------------

TEST(Filters, MixDownAveragesIntoOneChannel) {
  const int16_t values[3][4] = {{32767, -32768, 1, -7}, {32767, -32768, 1, 0}, {32767, -32768, 0, 0}};
  Sound s = makesound(3, 4, 22050, [&values](int c, int32_t i) { return values[c][i]; });
  STIMBRE& t = s->timbres[0];
  t.sidedatasize = 8;
  t.sidedata[2] = galloc(8);  // a dropped channel's codec block goes with it
  ASSERT_EQ(AUREX_filtermixdownsinfo(s.get()), 1);
  EXPECT_EQ(t.numchannels, 1);
  EXPECT_EQ(channel(t, 0), (std::vector<int16_t>{32767, -32768, 0, -2}));
  for (int c = 1; c < 4; ++c) {
    EXPECT_EQ(t.samples[c], nullptr);
    EXPECT_EQ(t.sidedata[c], nullptr);
  }
  Sound empty(AUREX_newsinfo());
  EXPECT_EQ(AUREX_filtermixdownsound(&empty->timbres[0]), 1);
  EXPECT_EQ(empty->timbres[0].numchannels, 0);
}

TEST(Filters, KeepTrack) {
  for (int track = 0; track < 5; ++track) {
    Sound s = makesound(3, 50, 22050, ramp);
    STIMBRE& t = s->timbres[0];
    int16_t* const kept = t.samples[track < 3 ? track : 0];
    ASSERT_EQ(AUREX_filterkeeptracksinfo(s.get(), track), 1);
    if (track >= 3) {
      EXPECT_EQ(t.numchannels, 3);  // no such channel: unchanged
      continue;
    }
    EXPECT_EQ(t.numchannels, 1);
    EXPECT_EQ(t.samples[0], kept);
    for (int32_t i = 0; i < 50; ++i) ASSERT_EQ(t.samples[0][i], ramp(track, i));
    for (int c = 1; c < 4; ++c) EXPECT_EQ(t.samples[c], nullptr);
  }
}

TEST(Filters, VolumeScalesAndClamps) {
  struct Case {
    int16_t in;
    int32_t percent;
    int16_t want;
  };
  const Case cases[] = {{1000, 50, 500},        {-1001, 50, -500},         {32767, 100, 32767},
                        {32767, 200, 32767},    {-32768, 200, -32768},     {-32768, -100, 32767},
                        {32767, 100000, 32767}, {-20000, 1000000, -32768}, {123, 0, 0}};
  for (const Case& c : cases) {
    Sound s = makesound(2, 1, 22050, [&c](int ch, int32_t) { return ch ? c.in : int16_t(0); });
    ASSERT_EQ(AUREX_filtervolumesinfo(s.get(), c.percent), 1);
    EXPECT_EQ(s->timbres[0].samples[1][0], c.want) << c.in << " x " << c.percent << "%";
  }
}

TEST(Filters, InvertTrack) {
  const std::vector<int16_t> in = {-32768, 0, 32767, 1, -2};
  Sound s = makesound(2, 5, 22050, [&in](int c, int32_t i) { return c ? in[i] : int16_t(7); });
  STIMBRE& t = s->timbres[0];
  ASSERT_EQ(AUREX_filterinverttracksound(&t, 1), 1);
  EXPECT_EQ(channel(t, 1), (std::vector<int16_t>{32767, -1, -32768, -2, 1}));
  EXPECT_EQ(t.samples[0][0], 7);

  EXPECT_EQ(AUREX_filterinverttracksound(&t, 2), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Track to invert is out of range.");
  EXPECT_EQ(AUREX_filterinverttracksound(&t, -1), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Track to invert is out of range.");
  int16_t* const held = std::exchange(t.samples[1], nullptr);
  EXPECT_EQ(AUREX_filterinverttracksound(&t, 1), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Track to invert is not available.");
  t.samples[1] = held;
}

TEST(Filters, ReplicateOneTrack) {
  Sound s = makesound(2, 40, 22050, ramp);
  STIMBRE& t = s->timbres[0];
  EXPECT_EQ(AUREX_filterreplicate1tracksound(&t, 2), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Track out or range in AUREX_filterreplicate1tracksound.");
  ASSERT_EQ(AUREX_filterreplicate1tracksound(&t, 1), 1);
  ASSERT_EQ(t.numchannels, 3);
  EXPECT_NE(t.samples[2], t.samples[1]);
  EXPECT_EQ(channel(t, 2), channel(t, 1));
  ASSERT_EQ(AUREX_filterreplicate1tracksound(&t, 0), 1);
  EXPECT_EQ(channel(t, 3), channel(t, 0));
  EXPECT_EQ(AUREX_filterreplicate1tracksound(&t, 0), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Can't replicate track, all tracks already taken.");
  expectconsistent(s.get());
}

TEST(Filters, SplitRefusesMonoAndMultiTimbralSources) {
  Sound mono = makesound(1, 10, 22050, ramp);
  EXPECT_EQ(AUREX_filtersplitsinfo(mono.get()), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Can't split a sample with 1 channel or less.");
  Sound multi = makesound(2, 10, 22050, ramp);
  multi->numtimbres = 2;
  EXPECT_EQ(AUREX_filtersplitsinfo(multi.get()), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Can't split a multi-timbral source.");
  multi->numtimbres = 1;
}

// Both records are released with AUREX_freesinfo: the new one must own everything it points to.
TEST(Filters, SplitMovesTheLastChannelIntoANewRecord) {
  Sound s = makesound(3, 64, 22050, ramp);
  STIMBRE& t = s->timbres[0];
  const char note[] = "user chunk";
  ASSERT_EQ(AUREX_adduserdata(&t, sizeof note, note), 1);
  t.paramblock[0] = galloc(SINFO_PARAMBLOCKSIZE);
  t.loopstate[2] = galloc(32);
  t.loopstatesize[2] = 32;
  t.loopstart = 5;
  t.loopend = 60;
  int16_t* const last = t.samples[2];
  void* const laststate = t.loopstate[2];
  Sound part(AUREX_filtersplitsinfo(s.get()));
  ASSERT_NE(part, nullptr);
  const STIMBRE& p = part->timbres[0];
  EXPECT_EQ(t.numchannels, 2);
  EXPECT_EQ(p.numchannels, 1);
  EXPECT_EQ(p.samples[0], last);
  EXPECT_EQ(p.samples[1], nullptr);
  EXPECT_EQ(p.loopstate[0], laststate);
  EXPECT_EQ(p.loopstatesize[0], 32);
  EXPECT_EQ(t.loopstate[2], nullptr);
  EXPECT_EQ(p.numsamples, 64);
  EXPECT_EQ(p.loopend, 60);
  EXPECT_EQ(p.samplerate, 22050);
  EXPECT_NE(p.userdata[3], t.userdata[3]);
  EXPECT_STREQ(static_cast<const char*>(p.userdata[3]), note);
  EXPECT_NE(p.paramblock[0], t.paramblock[0]);
  for (int32_t i = 0; i < 64; ++i) ASSERT_EQ(p.samples[0][i], ramp(2, i));
  expectconsistent(part.get());
  expectconsistent(s.get());
}

}  // namespace
