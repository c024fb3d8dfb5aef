// CD-XA, VAG and N64 codecs: the frame layouts, flags, subheaders and reconstruction quality.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "quillon/codecs/cdxa.h"
#include "quillon/codecs/console_test_util.h"
#include "quillon/codecs/n64.h"
#include "quillon/codecs/vag.h"

namespace {

TEST(Cdxa, SubheaderAndZeroTail) {
  struct Case {
    bool stereo, rate18900;
    uint8_t coding;
  };
  for (const Case c : {Case{false, false, 0x00}, Case{true, true, 0x05}, Case{false, true, 0x04}}) {
    const std::vector<int16_t> in = consolemusic(CDXA_SECTORSAMPLES);
    XA_ENCSTATE l{}, r{};
    uint8_t sector[CDXA_SECTORBYTES];
    cdxa_encodesector(in.data(), c.stereo ? in.data() : nullptr, 100, cdxa_codingbyte(c.stereo, c.rate18900),
                      &l, &r, sector);
    const uint8_t sub[8] = {1, 1, 0x64, c.coding, 1, 1, 0x64, c.coding};
    EXPECT_EQ(0, std::memcmp(sector, sub, 8));
    EXPECT_TRUE(std::all_of(sector + 2312, sector + CDXA_SECTORBYTES, [](uint8_t b) { return b == 0; }));
  }
}

TEST(Cdxa, GroupHeadersAreRepeated) {
  const std::vector<int16_t> in = consolemusic(CDXA_SECTORSAMPLES);
  XA_ENCSTATE l{}, r{};
  uint8_t s[CDXA_SECTORBYTES];
  cdxa_encodesector(in.data(), nullptr, CDXA_SECTORSAMPLES, 0, &l, &r, s);
  for (int g = 0; g < 18; ++g) {
    const uint8_t* group = s + 8 + 128 * g;
    EXPECT_EQ(0, std::memcmp(group, group + 4, 4));
    EXPECT_EQ(0, std::memcmp(group + 8, group + 12, 4));
    for (int k = 0; k < 16; ++k) EXPECT_LE(group[k] >> 4, 3) << "CD-XA uses filters 0..3 only";
  }
}

TEST(Cdxa, RoundTripMonoAndStereo) {
  for (const bool stereo : {false, true}) {
    const int32_t per = cdxa_sectorsamples(stereo ? 2 : 1);
    const std::vector<int16_t> left = consolemusic(3 * per);
    std::vector<int16_t> right(left.rbegin(), left.rend());
    XA_ENCSTATE ls{}, rs{};
    int16_t hist[4] = {};
    std::vector<int16_t> gotl(left.size()), gotr(left.size());
    for (int s = 0; s < 3; ++s) {
      uint8_t sector[CDXA_SECTORBYTES];
      cdxa_encodesector(left.data() + s * per, stereo ? right.data() + s * per : nullptr, per, 0, &ls, &rs,
                        sector);
      cdxa_decodesector(sector, stereo, hist, gotl.data() + s * per, gotr.data() + s * per);
    }
    EXPECT_GT(snrdb(left.data(), gotl.data(), 3 * per), 25.0) << stereo;
    if (stereo) {
      EXPECT_GT(snrdb(right.data(), gotr.data(), 3 * per), 25.0);
    }
  }
}

TEST(Vag, OneShotOf28SamplesIsThreeFrames) {
  const std::vector<int16_t> in = consolemusic(28);
  const VAG_FORM form{false, -1, -1};
  ASSERT_EQ(48, vag_encodedbytes(28, form));
  std::vector<uint8_t> out(48);
  XA_ENCSTATE st{};
  ASSERT_EQ(48, vag_encode(in.data(), 28, form, &st, out.data()));
  EXPECT_TRUE(vag_iszeroframe(out.data()));
  EXPECT_EQ(0, out[17]);
  const uint8_t end[16] = {0, 1};
  EXPECT_EQ(0, std::memcmp(out.data() + 32, end, 16));
}

TEST(Vag, FlagsOfStreamsAndLoops) {
  const std::vector<int16_t> in = consolemusic(28 * 6);
  XA_ENCSTATE st{};
  std::vector<uint8_t> out(16 * 8);
  ASSERT_EQ(96, vag_encode(in.data(), 168, VAG_FORM{true, -1, -1}, &st, out.data()));
  for (int f = 0; f < 6; ++f) EXPECT_EQ(2, out[16 * f + 1]);

  const VAG_FORM loop{false, 30, 168};
  ASSERT_EQ(112, vag_encodedbytes(168, loop));
  st = {};
  ASSERT_EQ(112, vag_encode(in.data(), 168, loop, &st, out.data()));
  const uint8_t expect[7] = {0, 2, 6, 2, 2, 2, 3};
  for (int f = 0; f < 7; ++f) EXPECT_EQ(expect[f], out[16 * f + 1]) << f;
  int32_t ls, le;
  vag_findloop(out.data() + 16, 6, &ls, &le);
  EXPECT_EQ(28, ls);
  EXPECT_EQ(168, le);
  vag_findloop(out.data() + 16, 0, &ls, &le);
  EXPECT_EQ(-1, ls);
  EXPECT_EQ(-1, le);
}

TEST(Vag, RoundTripQuality) {
  const std::vector<int16_t> in = consolemusic(22050);
  const VAG_FORM form{true, -1, -1};
  std::vector<uint8_t> enc(static_cast<size_t>(vag_encodedbytes(22050, form)));
  XA_ENCSTATE st{};
  const int32_t bytes = vag_encode(in.data(), 22050, form, &st, enc.data());
  std::vector<int16_t> out(static_cast<size_t>(bytes / 16 * 28));
  int16_t p1 = 0, p2 = 0;
  vag_decode(enc.data(), bytes / 16, out.data(), &p1, &p2);
  EXPECT_GT(snrdb(in.data(), out.data(), 22050), 25.0);
}

TEST(Vag, DecoderKeepsLowSixteenBits) {
  // Filter 4 with a large history overflows 16 bits; the decoder wraps instead of limiting.
  uint8_t frame[16] = {0x40, 0};
  int16_t out[28];
  int16_t p1 = 32000, p2 = 0;
  vag_decode(frame, 1, out, &p1, &p2);
  const int64_t y = (int64_t{32000} * 124928) >> 16;
  EXPECT_EQ(static_cast<int16_t>(static_cast<uint16_t>(y & 0xFFFF)), out[0]);
  uint8_t oddshift[16] = {0x0F, 0, 0x77};  // shift 15 cannot be written but must decode safely
  vag_decode(oddshift, 1, out, &p1, &p2);
}

// The N64 frame decoder, written from the frame layout: (scale << 4) | predictor, then 16 signed
// nibbles, high nibble first; each half of 8 predicted from the state and the half's residuals.
std::vector<int16_t> n64decode(const uint8_t* in, int32_t frames, const int16_t* book) {
  std::vector<int16_t> out;
  int32_t s2 = 0, s1 = 0;
  for (int32_t f = 0; f < frames; ++f, in += 9) {
    const int scale = in[0] >> 4;
    const int16_t* rows = book + 16 * (in[0] & 3);
    int32_t res[16];
    for (int i = 0; i < 8; ++i) {
      res[2 * i] = static_cast<int8_t>(in[1 + i] & 0xF0) >> 4;
      res[2 * i + 1] = static_cast<int8_t>(in[1 + i] << 4) >> 4;
    }
    for (int half = 0; half < 2; ++half) {
      for (int j = 0; j < 8; ++j) {
        int64_t acc = int64_t{rows[j]} * s2 + int64_t{rows[8 + j]} * s1;
        for (int k = 0; k < j; ++k) acc += int64_t{rows[8 + j - k - 1]} * (res[half * 8 + k] << scale);
        const int64_t pred = acc >= 0 ? acc / 2048 : -((-acc + 2047) / 2048);
        out.push_back(
            static_cast<int16_t>(std::clamp<int64_t>(pred + (res[half * 8 + j] << scale), -32768, 32767)));
      }
      s2 = out[out.size() - 2];
      s1 = out.back();
    }
  }
  return out;
}

TEST(N64, MusicKeepsADecentSnr) {
  const int32_t n = 22050 * 2 + 5;
  const std::vector<int16_t> in = consolemusic(n);
  std::vector<uint8_t> enc(static_cast<size_t>(n64_frames(n) * 9));
  int16_t book[N64_BOOKVALUES];
  int16_t loop[16];
  ASSERT_EQ(n64_frames(n) * 9, n64_encode(in.data(), n, 100, enc.data(), book, loop));
  const std::vector<int16_t> out = n64decode(enc.data(), n64_frames(n), book);
  EXPECT_GT(snrdb(in.data(), out.data(), n), 20.0);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(std::clamp<int16_t>(out[96 + i], -32767, 32767), loop[i]);
  bool distinct = false;
  for (int p = 1; p < 4; ++p) distinct |= std::memcmp(book, book + 16 * p, 32) != 0;
  EXPECT_TRUE(distinct) << "the split rounds give more than one predictor";
}

TEST(N64, SilenceAndFrameLimit) {
  std::vector<int16_t> in(40, 0);
  int16_t book[N64_BOOKVALUES];
  n64_designcodebook(in.data(), 40, book);
  N64_ENCSTATE st{};
  uint8_t frame[9];
  ASSERT_EQ(1, n64_encodeframe(in.data(), 16, book, &st, frame, nullptr));
  EXPECT_EQ(0, frame[0] >> 4);
  EXPECT_TRUE(std::all_of(frame + 1, frame + 9, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(0, n64_encodeframe(in.data(), 17, book, &st, frame, nullptr));
}

}  // namespace
