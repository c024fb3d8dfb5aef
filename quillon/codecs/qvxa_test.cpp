// QV-XA encoder and decoders: frame layout, the variant parameters of the shared XA encoder,
// decoder history across calls and the round-trip quality on music-like signals.
#include "quillon/codecs/qvxa.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

std::vector<int16_t> musicLike(int n, uint32_t seed, double level) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<int16_t> s(n);
  const double kPi = 3.14159265358979323846;
  for (int i = 0; i < n; ++i) {
    double t = i / 44100.0;
    double env = 0.6 + 0.4 * std::sin(2 * kPi * 2.0 * t);
    double v = 0.45 * std::sin(2 * kPi * 220.0 * t) + 0.25 * std::sin(2 * kPi * 330.0 * t + 1.0) +
               0.12 * std::sin(2 * kPi * 1760.0 * t) + 0.05 * std::sin(2 * kPi * 5000.0 * t) +
               0.01 * noise(rng);
    s[i] = static_cast<int16_t>(std::lround(level * env * v * 32767.0 / 0.88));
  }
  return s;
}

double snrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& got) {
  double sig = 0, err = 0;
  for (size_t i = 0; i < ref.size(); ++i) {
    sig += double(ref[i]) * ref[i];
    double d = double(ref[i]) - got[i];
    err += d * d;
  }
  return 10.0 * std::log10(sig / std::max(err, 1e-9));
}

std::vector<int16_t> encodeDecode(const std::vector<int16_t>& in) {
  std::vector<uint8_t> enc(qvxa_frames(int32_t(in.size())) * QVXA_FRAMEBYTES);
  XA_ENCSTATE st{};
  qvxa_encode(in.data(), enc.data(), int32_t(in.size()), &st);
  std::vector<int16_t> out(qvxa_frames(int32_t(in.size())) * 28);
  int16_t p1 = 0, p2 = 0;
  qvxa_decode_mono(int32_t(in.size()), &p1, &p2, enc.data(), out.data());
  out.resize(in.size());
  return out;
}

TEST(QvxaEncoder, SilenceGivesHeader0CAndZeroResiduals) {
  int16_t zeros[28] = {};
  uint8_t frame[15];
  std::memset(frame, 0xAA, sizeof frame);
  XA_ENCSTATE st{};
  ASSERT_EQ(xa_encode_frame(zeros, frame, &st, XA_VARIANT_QVXA, XA_FILTERS_QVXA), 1);
  EXPECT_EQ(frame[0], 0x0C);
  for (int j = 1; j < 15; ++j) EXPECT_EQ(frame[j], 0) << j;
  EXPECT_EQ(st.s1, 0);
  EXPECT_EQ(st.e1, 0.0);
}

TEST(QvxaEncoder, ConstantFrameByHand) {
  // Every filter peaks at 1000 on the first sample, so the tie keeps filter 0; the peak gives
  // shift 4, and 1000 * 16 rounds to nibble 4, which decodes to 1024.
  std::vector<int16_t> in(28, 1000);
  uint8_t frame[15];
  XA_ENCSTATE st{};
  xa_encode_frame(in.data(), frame, &st, XA_VARIANT_QVXA, XA_FILTERS_QVXA);
  EXPECT_EQ(frame[0], 0x04);
  for (int j = 1; j < 15; ++j) EXPECT_EQ(frame[j], 0x44) << j;
  EXPECT_EQ(st.s1, 1000);
  EXPECT_EQ(st.s2, 1000);
  EXPECT_DOUBLE_EQ(st.e1, 24.0);
  int16_t out[28], p1 = 0, p2 = 0;
  qvxa_decode_mono(28, &p1, &p2, frame, out);
  for (int16_t v : out) EXPECT_EQ(v, 1024);
}

struct VariantCase {
  int variant;
  int32_t top, bottom;
  int framebytes;
};

class XaVariant : public ::testing::TestWithParam<VariantCase> {};

TEST_P(XaVariant, ClipsToVariantLimits) {
  const VariantCase& c = GetParam();
  int16_t in[28];
  for (int i = 0; i < 28; ++i) in[i] = 32767;
  in[26] = -32768;
  uint8_t frame[16];
  XA_ENCSTATE st{};
  xa_encode_frame(in, frame, &st, c.variant, XA_FILTERS_QVXA);
  EXPECT_EQ(st.s1, 32767 > c.top ? c.top : 32767);
  EXPECT_EQ(st.s2, c.bottom);
}

TEST_P(XaVariant, HeaderAndNibbleOrder) {
  const VariantCase& c = GetParam();
  std::vector<int16_t> in = musicLike(28 * 4, 7, 0.5);
  std::vector<uint8_t> ref(4 * 15), got(4 * 16, 0xEE);
  XA_ENCSTATE a{}, b{};
  xa_encode(in.data(), ref.data(), 28 * 4, &a, XA_VARIANT_QVXA, XA_FILTERS_QVXA);
  xa_encode(in.data(), got.data(), 28 * 4, &b, c.variant, XA_FILTERS_QVXA);
  EXPECT_EQ(xa_framebytes(c.variant), c.framebytes);
  for (int f = 0; f < 4; ++f) {
    const uint8_t* r = &ref[f * 15];
    const uint8_t* g = &got[f * c.framebytes];
    EXPECT_EQ(g[0], r[0]);
    const uint8_t* gd = g + (c.framebytes - 14);
    if (c.variant == XA_VARIANT_CDXA) {
      EXPECT_EQ(g[1], r[0]);
    }
    if (c.variant == XA_VARIANT_VAG) {
      EXPECT_EQ(g[1], 0);
    }
    for (int j = 0; j < 14; ++j) {
      uint8_t expect = c.variant == XA_VARIANT_QVXA ? r[1 + j] : uint8_t((r[1 + j] >> 4) | (r[1 + j] << 4));
      ASSERT_EQ(gd[j], expect) << "frame " << f << " byte " << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, XaVariant,
                         ::testing::Values(VariantCase{XA_VARIANT_QVXA, 30000, -30000, 15},
                                           VariantCase{XA_VARIANT_CDXA, 30719, -30720, 16},
                                           VariantCase{XA_VARIANT_VAG, 30719, -30720, 16}));

// Frames of every kind the encoder must handle: music at several levels, hard clipping, near
// silence (the early choice of filter 0), steps, and noise; states carry across all of them.
std::vector<int16_t> mixedFrames(int frames, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<int16_t> s;
  const std::vector<int16_t> music = musicLike(28 * frames, seed, 1.3);
  for (int f = 0; f < frames; ++f) {
    for (int n = 0; n < 28; ++n) {
      const int32_t m = music[f * 28 + n];
      int32_t v;
      switch (rng() % 5) {
        case 0:
          v = m;
          break;
        case 1:
          v = m / 64;
          break;
        case 2:
          v = static_cast<int32_t>(rng() % 15) - 7;
          break;
        case 3:
          v = (n < 14) == (f % 2 == 0) ? 32767 : -32768;
          break;
        default:
          v = static_cast<int16_t>(rng());
          break;
      }
      s.push_back(static_cast<int16_t>(v));
    }
  }
  return s;
}

// The QV-XA frame encoder's arithmetic written out one sample and one filter at a time.
void plainQvxaFrame(const int16_t* in, uint8_t out[15], XA_ENCSTATE* st) {
  static const float kF0[4] = {0.0f, -0.9375f, -1.796875f, -1.53125f};
  static const float kF1[4] = {0.0f, 0.0f, 0.8125f, 0.859375f};
  float x[28], res[4][28];
  for (int n = 0; n < 28; ++n) x[n] = float(std::clamp<int32_t>(in[n], -30000, 30000));
  double bestpeak = 1e21;
  int filter = 0;
  for (int i = 0; i < 4; ++i) {
    float h1 = float(st->s1), h2 = float(st->s2), peak = 0.0f;
    for (int n = 0; n < 28; ++n) {
      res[i][n] = x[n] + kF0[i] * h1 + kF1[i] * h2;
      peak = std::max(peak, std::fabs(res[i][n]));
      h2 = h1;
      h1 = x[n];
    }
    if (peak < bestpeak) bestpeak = peak, filter = i;
    if (i == 0 && peak <= 7.0f) break;
  }
  st->s1 = int32_t(x[27]);
  st->s2 = int32_t(x[26]);
  const int32_t m = bestpeak >= 32767.0 ? 32767 : int32_t(bestpeak);
  int shift = 0;
  for (int32_t mask = 0x4000; (mask & (m + (mask >> 3))) == 0 && shift < 12; mask >>= 1) ++shift;
  out[0] = uint8_t(filter << 4 | shift);
  std::memset(out + 1, 0, 14);
  for (int n = 0; n < 28; ++n) {
    const double v = double(kF0[filter]) * st->e1 + double(kF1[filter]) * st->e2 + double(res[filter][n]);
    int64_t q = int64_t(std::clamp(v * double(1 << shift), -1e12, 1e12));
    q = std::clamp<int64_t>((q + 0x800) & ~int64_t{0xFFF}, -32768, 32767);
    out[1 + n / 2] |= uint8_t(n % 2 == 0 ? ((q >> 12) & 15) << 4 : (q >> 12) & 15);
    st->e2 = st->e1;
    st->e1 = double(q >> shift) - v;
  }
}

TEST(QvxaEncoder, MatchesPlainArithmetic) {
  const int frames = 600;
  const std::vector<int16_t> in = mixedFrames(frames, 21);
  std::vector<uint8_t> got(frames * 15), want(frames * 15);
  XA_ENCSTATE a{}, b{};
  qvxa_encode(in.data(), got.data(), 28 * frames, &a);
  for (int f = 0; f < frames; ++f) plainQvxaFrame(&in[f * 28], &want[f * 15], &b);
  for (int f = 0; f < frames; ++f) {
    ASSERT_TRUE(std::equal(&got[f * 15], &got[f * 15] + 15, &want[f * 15])) << "frame " << f;
  }
  EXPECT_EQ(a.e1, b.e1);
  EXPECT_EQ(a.s1, b.s1);
}

TEST_P(XaVariant, PairEqualsTwoSingleFrames) {
  const VariantCase& c = GetParam();
  const int frames = 300;
  const std::vector<int16_t> left = mixedFrames(frames, 5), right = mixedFrames(frames, 6);
  std::vector<uint8_t> pair(2 * frames * 16), single(2 * frames * 16);
  XA_ENCSTATE ps[2] = {}, ss[2] = {};
  for (int f = 0; f < frames; ++f) {
    const int16_t* in[2] = {&left[f * 28], &right[f * 28]};
    uint8_t* out[2] = {&pair[f * 16], &pair[(frames + f) * 16]};
    XA_ENCSTATE* st[2] = {&ps[0], &ps[1]};
    xa_encode_frame_pair(in, out, st, c.variant, XA_FILTERS_VAG);
    for (int k = 0; k < 2; ++k)
      xa_encode_frame(in[k], &single[(k * frames + f) * 16], &ss[k], c.variant, XA_FILTERS_VAG);
  }
  EXPECT_EQ(pair, single);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(ps[k].s1, ss[k].s1);
    EXPECT_EQ(ps[k].s2, ss[k].s2);
    EXPECT_EQ(ps[k].e1, ss[k].e1);
    EXPECT_EQ(ps[k].e2, ss[k].e2);
  }
}

TEST(QvxaEncoder, FilterMaskLimitsTheChoice) {
  // A smooth ramp wants a predicting filter; with only filter 0 allowed the header says 0.
  std::vector<int16_t> in(28);
  for (int i = 0; i < 28; ++i) in[i] = int16_t(8000 + 300 * i);
  uint8_t full[15], only0[15];
  XA_ENCSTATE a{8000, 7700, 0, 0}, b{8000, 7700, 0, 0};
  xa_encode_frame(in.data(), full, &a, XA_VARIANT_QVXA, XA_FILTERS_QVXA);
  xa_encode_frame(in.data(), only0, &b, XA_VARIANT_QVXA, 1);
  EXPECT_NE(full[0] >> 4, 0);
  EXPECT_EQ(only0[0] >> 4, 0);
  // VAG's extra filter 4 is never picked when the mask excludes it.
  XA_ENCSTATE c{8000, 7700, 0, 0};
  uint8_t vag[16];
  xa_encode_frame(in.data(), vag, &c, XA_VARIANT_VAG, XA_FILTERS_QVXA);
  EXPECT_LE(vag[0] >> 4, 3);
}

TEST(QvxaEncoder, PartialLastFrameIsZeroPadded) {
  std::vector<int16_t> in = musicLike(29, 3, 0.5);
  std::vector<uint8_t> out(30, 0xEE);
  XA_ENCSTATE st{};
  xa_encode(in.data(), out.data(), 29, &st, XA_VARIANT_QVXA, XA_FILTERS_QVXA);
  EXPECT_EQ(qvxa_frames(29) * QVXA_FRAMEBYTES, 30);

  std::vector<int16_t> padded(56, 0);
  std::copy(in.begin(), in.end(), padded.begin());
  std::vector<uint8_t> ref(30);
  XA_ENCSTATE st2{};
  xa_encode(padded.data(), ref.data(), 56, &st2, XA_VARIANT_QVXA, XA_FILTERS_QVXA);
  EXPECT_EQ(out, ref);
}

TEST(QvxaEncoder, ChunkedEncodingEqualsWhole) {
  std::vector<int16_t> in = musicLike(28 * 100, 11, 0.9);
  std::vector<uint8_t> whole(100 * 15), parts(100 * 15);
  XA_ENCSTATE a{}, b{};
  qvxa_encode(in.data(), whole.data(), 28 * 100, &a);
  int frames[] = {53, 1, 46};
  int at = 0;
  for (int f : frames) {
    qvxa_encode(in.data() + at * 28, parts.data() + at * 15, f * 28, &b);
    at += f;
  }
  EXPECT_EQ(whole, parts);
}

TEST(QvxaDecoder, Header1CWithResidualOneGivesOnes) {
  uint8_t frame[15];
  frame[0] = 0x1C;
  std::memset(frame + 1, 0x11, 14);
  int16_t out[28], p1 = 0, p2 = 0;
  ASSERT_EQ(qvxa_decode_mono(28, &p1, &p2, frame, out), 1);
  for (int16_t v : out) EXPECT_EQ(v, 1);
  EXPECT_EQ(p1, 1);
  EXPECT_EQ(p2, 1);
}

TEST(QvxaDecoder, LimitsTo16Bits) {
  // Filter 2 with maximal positive residuals overshoots; every output stays in range and
  // saturates at the top.
  uint8_t frame[15];
  frame[0] = 0x20;
  std::memset(frame + 1, 0x77, 14);
  int16_t out[28], p1 = 32000, p2 = 30000;
  qvxa_decode_mono(28, &p1, &p2, frame, out);
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(p1, 32767);
}

TEST(QvxaDecoder, UnknownFilterIndexDecodesWithoutPrediction) {
  uint8_t frame[15];
  frame[0] = 0xFC;
  std::memset(frame + 1, 0x11, 14);
  int16_t out[28], p1 = 1000, p2 = 1000;
  qvxa_decode_mono(28, &p1, &p2, frame, out);
  for (int16_t v : out) EXPECT_EQ(v, 1);
}

TEST(QvxaDecoder, ChunkedDecodingEqualsWhole) {
  std::vector<int16_t> in = musicLike(28 * 90, 5, 0.8);
  std::vector<uint8_t> enc(90 * 15);
  XA_ENCSTATE st{};
  qvxa_encode(in.data(), enc.data(), 28 * 90, &st);
  std::vector<int16_t> whole(28 * 90), parts(28 * 90);
  int16_t a1 = 0, a2 = 0, b1 = 0, b2 = 0;
  qvxa_decode_mono(28 * 90, &a1, &a2, enc.data(), whole.data());
  int at = 0;
  for (int f : {1, 64, 25}) {
    qvxa_decode_mono(f * 28, &b1, &b2, enc.data() + at * 15, parts.data() + at * 28);
    at += f;
  }
  EXPECT_EQ(whole, parts);
}

TEST(QvxaDecoder, StereoMatchesMonoWithinRounding) {
  std::vector<int16_t> l = musicLike(28 * 20, 1, 0.7), r = musicLike(28 * 20, 2, 0.3);
  std::vector<uint8_t> el(20 * 15), er(20 * 15), st(20 * 30);
  XA_ENCSTATE sl{}, sr{};
  qvxa_encode(l.data(), el.data(), 28 * 20, &sl);
  qvxa_encode(r.data(), er.data(), 28 * 20, &sr);
  for (int f = 0; f < 20; ++f) {
    const uint8_t* a = &el[f * 15];
    const uint8_t* b = &er[f * 15];
    uint8_t* o = &st[f * 30];
    o[0] = uint8_t((a[0] & 0xF0) | (b[0] >> 4));
    o[1] = uint8_t((a[0] << 4) | (b[0] & 15));
    for (int k = 0; k < 28; ++k) {
      int na = (a[1 + k / 2] >> ((k & 1) ? 0 : 4)) & 15;
      int nb = (b[1 + k / 2] >> ((k & 1) ? 0 : 4)) & 15;
      o[2 + k] = uint8_t((na << 4) | nb);
    }
  }
  std::vector<int16_t> ml(28 * 20), mr(28 * 20), sl2(28 * 20), sr2(28 * 20);
  int16_t p[8] = {};
  qvxa_decode_mono(28 * 20, &p[0], &p[1], el.data(), ml.data());
  qvxa_decode_mono(28 * 20, &p[2], &p[3], er.data(), mr.data());
  // Split in two calls to check that the stereo history carries over as well.
  qvxa_decode_stereo(28 * 7, &p[4], &p[5], &p[6], &p[7], st.data(), sl2.data(), sr2.data());
  qvxa_decode_stereo(28 * 13, &p[4], &p[5], &p[6], &p[7], st.data() + 7 * 30, sl2.data() + 7 * 28,
                     sr2.data() + 7 * 28);
  // Rounding versus truncation differs by one step per sample, which the recursive predictors
  // carry on for a while; the two decodings stay close, while a channel or nibble mix-up would
  // not.
  EXPECT_GT(snrDb(ml, sl2), 30.0);
  EXPECT_GT(snrDb(mr, sr2), 30.0);
  EXPECT_NE(ml, sl2);
  EXPECT_GT(snrDb(l, sl2), 20.0);
  EXPECT_GT(snrDb(r, sr2), 20.0);
}

struct SnrCase {
  const char* name;
  double level;
  double minsnr;
};

class QvxaRoundTrip : public ::testing::TestWithParam<SnrCase> {};

TEST_P(QvxaRoundTrip, MusicLikeSignal) {
  const SnrCase& c = GetParam();
  std::vector<int16_t> in = musicLike(44100, 42, c.level);
  std::vector<int16_t> out = encodeDecode(in);
  double snr = snrDb(in, out);
  RecordProperty("snr_db", std::to_string(snr));
  std::printf("QV-XA round trip %s: SNR %.2f dB\n", c.name, snr);
  EXPECT_GT(snr, c.minsnr);
}

INSTANTIATE_TEST_SUITE_P(Levels, QvxaRoundTrip,
                         ::testing::Values(SnrCase{"loud", 0.9, 20.0}, SnrCase{"medium", 0.3, 20.0},
                                           SnrCase{"quiet", 0.02, 15.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QvxaRoundTrip, FullScaleSquareWaveStaysBounded) {
  // Hard edges at full scale drive the error feedback hardest; the output must stay sane.
  std::vector<int16_t> in(28 * 200);
  for (size_t i = 0; i < in.size(); ++i) in[i] = ((i / 50) & 1) ? 32767 : -32768;
  std::vector<int16_t> out = encodeDecode(in);
  std::vector<int16_t> clipped(in.size());
  for (size_t i = 0; i < in.size(); ++i) clipped[i] = in[i] > 0 ? 30000 : -30000;
  EXPECT_GT(snrDb(clipped, out), 6.0);
}

}  // namespace
