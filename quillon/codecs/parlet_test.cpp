#include "quillon/codecs/parlet.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "quillon/codecs/parlet_test_util.h"

namespace {

using parlet_test::bitsof;
using parlet_test::segsnr;

struct ValueCase {
  const char* name;
  const char* bits;  // reading order, '|' separates codes for legibility
  std::vector<int32_t> values;
};

std::string strip(const char* s) {
  std::string out;
  for (; *s; ++s) {
    if (*s == '0' || *s == '1') out += *s;
  }
  return out;
}

std::vector<int32_t> readvalues(const std::string& bits, bool entropyform, int n) {
  const std::vector<uint8_t> bytes = bitsof(bits);
  PARLET_BITREADER r;
  parlet_bits_start(&r, bytes.data(), bytes.size());
  std::vector<int32_t> c(static_cast<size_t>(n));
  parlet_read_values(&r, entropyform, c.data(), n);
  return c;
}

// Every code of both states. Each case is followed by "1000", which reads +1, 0 in state 0 and
// -2, 0 in state 1, so the state a code leaves behind shows in the values; "1101" (+2) reaches
// state 1 first where the code under test belongs to state 1.
const ValueCase kEntropyCases[] = {
    {"s0 zero", "00|1000", {0, 1, 0}},
    {"s0 -1", "01|1000", {-1, 1, 0}},
    {"s0 +1", "10|1000", {1, 1, 0}},
    {"s0 -2", "1100|1000", {-2, -2, 0}},
    {"s0 +2", "1101|1000", {2, -2, 0}},
    {"s0 -3", "11100|1000", {-3, -2, 0}},
    {"s0 +3", "11101|1000", {3, -2, 0}},
    {"s0 -4", "111100|1000", {-4, -2, 0}},
    {"s0 +4", "111101|1000", {4, -2, 0}},
    {"s0 -5", "1111100|1000", {-5, -2, 0}},
    {"s0 +5", "1111101|1000", {5, -2, 0}},
    {"s0 -6", "11111100|1000", {-6, -2, 0}},
    {"s0 +6", "11111101|1000", {6, -2, 0}},
    {"s0 escape, no ones: 7", "11111110|0|1|1000", {7, -2, 0}},
    {"s0 escape -9", "11111110|110|0|1000", {-9, -2, 0}},
    {"s0 run of 7", "11111111|000000|1000", {0, 0, 0, 0, 0, 0, 0, 1, 0}},
    {"s0 run of 9", "11111111|010000|1000", {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}},
    {"s1 zero", "1101|00|1000", {2, 0, 1, 0}},
    {"s1 -1", "1101|010|1000", {2, -1, 1, 0}},
    {"s1 +1", "1101|011|1000", {2, 1, 1, 0}},
    {"s1 -2", "1101|100|1000", {2, -2, -2, 0}},
    {"s1 +2", "1101|101|1000", {2, 2, -2, 0}},
    {"s1 -3", "1101|1100|1000", {2, -3, -2, 0}},
    {"s1 +3", "1101|1101|1000", {2, 3, -2, 0}},
    {"s1 -4", "1101|11100|1000", {2, -4, -2, 0}},
    {"s1 +4", "1101|11101|1000", {2, 4, -2, 0}},
    {"s1 -5", "1101|111100|1000", {2, -5, -2, 0}},
    {"s1 +5", "1101|111101|1000", {2, 5, -2, 0}},
    {"s1 -6", "1101|1111100|1000", {2, -6, -2, 0}},
    {"s1 +6", "1101|1111101|1000", {2, 6, -2, 0}},
    {"s1 escape, no ones: -7", "1101|1111110|0|0|1000", {2, -7, -2, 0}},
    {"s1 escape +10", "1101|1111110|1110|1|1000", {2, 10, -2, 0}},
    {"s1 run of 7", "1101|1111111|000000|1000", {2, 0, 0, 0, 0, 0, 0, 0, 1, 0}},
};

TEST(ParletValues, EveryEntropyCodeInBothStates) {
  for (const ValueCase& c : kEntropyCases) {
    const int n = static_cast<int>(c.values.size());
    EXPECT_EQ(readvalues(strip(c.bits), true, n), c.values) << c.name;
  }
}

TEST(ParletValues, TernaryCodes) {
  EXPECT_EQ(readvalues("0"
                       "10"
                       "11"
                       "0",
                       false, 4),
            (std::vector<int32_t>{0, -2, 2, 0}));
}

TEST(ParletValues, StateRestartsWithEachSubframe) {
  // "1101" leaves state 1, but the next subframe reads "010" from state 0: -1, then "0"...
  const std::vector<uint8_t> bytes = bitsof(
      "1101"
      "0100");
  PARLET_BITREADER r;
  parlet_bits_start(&r, bytes.data(), bytes.size());
  int32_t a[1], b[2];
  parlet_read_values(&r, true, a, 1);
  parlet_read_values(&r, true, b, 2);
  EXPECT_EQ(a[0], 2);
  EXPECT_EQ(b[0], -1);
  EXPECT_EQ(b[1], 0);
}

TEST(ParletValues, ZeroRunIsCutAtTheSubframeEnd) {
  // 100 zeros (runs of 70 and 30), +1 at position 100, then a run of 70 that ends at 107; the
  // next subframe starts right after it with +2.
  const std::string bits = strip("11111111|111111|11111111|111010|10|11111111|111111|1101|00");
  const std::vector<uint8_t> bytes = bitsof(bits);
  PARLET_BITREADER r;
  parlet_bits_start(&r, bytes.data(), bytes.size());
  int32_t c[PARLET_SUBFRAME], next[2];
  parlet_read_values(&r, true, c, PARLET_SUBFRAME);
  parlet_read_values(&r, true, next, 2);
  for (int i = 0; i < PARLET_SUBFRAME; ++i) EXPECT_EQ(c[i], i == 100 ? 1 : 0) << i;
  EXPECT_EQ(next[0], 2);
  EXPECT_EQ(next[1], 0);
  EXPECT_FALSE(parlet_bits_overrun(&r));
}

TEST(ParletBits, LeastSignificantFirstAndZerosPastTheEnd) {
  const uint8_t bytes[] = {0xB4, 0x01};
  PARLET_BITREADER r;
  parlet_bits_start(&r, bytes, sizeof bytes);
  EXPECT_EQ(parlet_bits_read(&r, 3), 4u);     // 100
  EXPECT_EQ(parlet_bits_read(&r, 6), 0x36u);  // 10110, then bit 0 of 0x01
  EXPECT_FALSE(parlet_bits_overrun(&r));
  EXPECT_EQ(parlet_bits_read(&r, 7), 0u);
  EXPECT_FALSE(parlet_bits_overrun(&r));
  EXPECT_EQ(parlet_bits_read(&r, 1), 0u);
  EXPECT_TRUE(parlet_bits_overrun(&r));
}

TEST(ParletHeader, FieldsAndGainTable) {
  // mode 1, t = 8, b = 7, s = 28 in that bit order.
  const std::vector<uint8_t> bytes = bitsof(
      "1"
      "0001"
      "1110"
      "001110");
  PARLET_BITREADER r;
  parlet_bits_start(&r, bytes.data(), bytes.size());
  const PARLET_HEADER h = parlet_read_header(&r);
  EXPECT_EQ(h.halfrate, 1);
  EXPECT_EQ(h.threshold, 8);
  EXPECT_EQ(h.gainbase, 7);
  EXPECT_EQ(h.gainstep, 28);
  static PARLET_SYNTH s;
  parlet_reset(&s, h);
  EXPECT_EQ(s.threshold, 24);
  EXPECT_FLOAT_EQ(s.gains[0], 64.0f);
  EXPECT_FLOAT_EQ(s.gains[1], 64.0f * 1.068f);
  EXPECT_NEAR(s.gains[63], 64.0 * std::pow(1.068, 63), 0.5);
}

TEST(ParletSynthesis, StepUpRecursion) {
  float k[PARLET_ORDER] = {0.5f, 0.3f};
  float a[PARLET_ORDER];
  parlet_direct(k, a);
  EXPECT_FLOAT_EQ(a[0], -0.65f);
  EXPECT_FLOAT_EQ(a[1], -0.3f);
  for (int i = 2; i < PARLET_ORDER; ++i) EXPECT_EQ(a[i], 0.0f);
}

TEST(ParletSynthesis, CoefficientsMoveInFourSteps) {
  static PARLET_SYNTH s;
  parlet_reset(&s, PARLET_ENCODERHEADER);
  // k1 = 0.619048; k2..k4 index 0 of K64 = 0; k5..k12 index 0 of K32 = -0.750198.
  int indices[PARLET_ORDER] = {44};
  float blocka[4][PARLET_ORDER];
  parlet_blocks(&s, indices, blocka);
  for (int b = 0; b < 4; ++b) {
    float k[PARLET_ORDER];
    for (int i = 0; i < PARLET_ORDER; ++i)
      k[i] = (i == 0 ? 0.619048f : i < 4 ? 0.0f : -0.750198f) * 0.25f * (b + 1);
    float a[PARLET_ORDER];
    parlet_direct(k, a);
    for (int i = 0; i < PARLET_ORDER; ++i) EXPECT_NEAR(blocka[b][i], a[i], 1e-5) << b << " " << i;
  }
  EXPECT_NEAR(s.k[0], 0.619048f, 1e-6);
}

TEST(ParletExcitation, HalfRateInterpolationHalvesTheGain) {
  static PARLET_SYNTH s;
  parlet_reset(&s, PARLET_ENCODERHEADER);
  PARLET_SUBPARAMS sp{};
  sp.phase = 1;
  sp.values[10] = 1;  // position 21
  parlet_excite(&s, 0, sp);
  const float* e = s.exc + PARLET_HISTORY;
  const float g = 32.0f;  // first gain 64, halved
  const float w[6] = {1.0f, 0.59738597f, 0.0f, -0.11459156f, 0.0f, 0.01803268f};
  for (int n = 0; n < PARLET_SUBFRAME; ++n) {
    const int d = std::abs(n - 21);
    EXPECT_FLOAT_EQ(e[n], d <= 5 ? g * w[d] : 0.0f) << n;
  }
  sp.nointerp = 1;
  parlet_excite(&s, 0, sp);
  for (int n = 0; n < PARLET_SUBFRAME; ++n) EXPECT_FLOAT_EQ(e[n], n == 21 ? 64.0f : 0.0f) << n;
}

TEST(ParletExcitation, PitchBeforeTheHistoryReadsZeros) {
  static PARLET_SYNTH s;
  parlet_reset(&s, PARLET_ENCODERHEADER);
  for (int i = 0; i < PARLET_HISTORY; ++i) s.exc[i] = 1.0f;
  PARLET_SUBPARAMS sp{};
  sp.lag = 255;  // delay 363: the first 39 samples lie before the 324 kept ones
  sp.pitch = 15;
  parlet_excite(&s, 0, sp);
  for (int n = 0; n < PARLET_SUBFRAME; ++n) EXPECT_EQ(s.exc[PARLET_HISTORY + n], n < 39 ? 0.0f : 1.0f) << n;
}

TEST(ParletSynthesis, To16TruncatesAndLimits) {
  const std::pair<float, int16_t> cases[] = {{1.9f, 1},           {-1.9f, -1},    {32766.9f, 32766},
                                             {32767.0f, 32767},   {1e9f, 32767},  {-32767.5f, -32767},
                                             {-32768.0f, -32768}, {-1e9f, -32768}};
  for (const auto& [in, out] : cases) EXPECT_EQ(parlet_to16(in), out) << in;
}

TEST(ParletDecoder, SilentFrameIsZeros) {
  for (int halfrate = 0; halfrate < 2; ++halfrate) {
    // Zero indices, lags, gains and values: after the header only zero bits.
    std::vector<uint8_t> bytes(400, 0);
    bytes[0] = static_cast<uint8_t>(halfrate);
    PARLET_BITREADER r;
    parlet_bits_start(&r, bytes.data(), bytes.size());
    static PARLET_SYNTH s;
    parlet_reset(&s, parlet_read_header(&r));
    float out[PARLET_FRAME];
    for (int f = 0; f < 2; ++f) {
      parlet_decode_frame(&s, &r, out);
      for (float v : out) ASSERT_EQ(v, 0.0f);
    }
    EXPECT_FALSE(parlet_bits_overrun(&r));
  }
}

TEST(ParletDecoder, HostileBitsStayFinite) {
  std::mt19937 rng(7);
  std::vector<uint8_t> bytes(4000);
  for (int pattern = 0; pattern < 3; ++pattern) {
    for (auto& b : bytes) b = pattern == 0 ? static_cast<uint8_t>(rng()) : pattern == 1 ? 0xFF : 0xFE;
    PARLET_BITREADER r;
    parlet_bits_start(&r, bytes.data(), bytes.size());
    static PARLET_SYNTH s;
    parlet_reset(&s, parlet_read_header(&r));
    float out[PARLET_FRAME];
    for (int f = 0; f < 20; ++f) {
      parlet_decode_frame(&s, &r, out);
      for (float v : out) ASSERT_TRUE(std::isfinite(v)) << pattern;
    }
  }
}

// The encoder's stream decodes to speech close to the original, within the frame bound.
TEST(ParletCodec, SpeechRoundTrip) {
  const std::vector<int16_t> speech =
      parlet_test::speech("Please keep your stick on the ice, the final period starts now.");
  if (speech.empty()) GTEST_SKIP() << "espeak-ng is not installed";
  const std::vector<int16_t> back = parlet_test::roundtrip(speech);
  ASSERT_EQ(back.size(), speech.size());
  EXPECT_GE(segsnr(speech, back), 8.0);
}

TEST(ParletCodec, EncoderHeaderAndFrameBound) {
  std::vector<int16_t> loud(PARLET_FRAME * 4);
  std::mt19937 rng(3);
  for (auto& v : loud) v = static_cast<int16_t>(rng());  // white noise at full scale
  std::vector<uint8_t> out(parlet_maxbytes(static_cast<int64_t>(loud.size())));
  PARLET_BITWRITER w{out.data(), out.size(), 0, 0, 0, false};
  static PARLET_ENCODER e;
  parlet_encode_start(&e, &w);
  ASSERT_EQ(w.size, 1u);
  EXPECT_EQ(out[0] | (w.acc << 8), 1u | (8u << 1) | (7u << 5) | (28u << 9));
  for (size_t f = 0; f < loud.size() / PARLET_FRAME; ++f) {
    const size_t before = w.size * 8 + static_cast<size_t>(w.count);
    parlet_encode_frame(&e, loud.data() + f * PARLET_FRAME, &w);
    EXPECT_LE(w.size * 8 + static_cast<size_t>(w.count) - before, static_cast<size_t>(PARLET_MAXFRAMEBITS));
  }
  parlet_flush(&w);
  EXPECT_FALSE(w.overflow);
}

}  // namespace
