#include "quillon/soundcore/resample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "quillon/soundcore/aurex.h"
#include "quillon/soundcore/sinfo.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<int16_t> sine(int32_t rate, double hz, double amplitude, int32_t frames) {
  std::vector<int16_t> v(static_cast<size_t>(frames));
  for (int32_t i = 0; i < frames; ++i)
    v[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * kPi * hz * i / rate)));
  return v;
}

std::vector<int16_t> convert(int32_t from, int32_t to, const std::vector<int16_t>& in, int interpolate) {
  const double f = static_cast<double>(to) / from;
  std::vector<int16_t> out(static_cast<size_t>(f * static_cast<double>(in.size())));
  EXPECT_EQ(AUREX_resample(f, in.data(), static_cast<int32_t>(in.size()), out.data(),
                           static_cast<int32_t>(out.size()), interpolate),
            static_cast<int32_t>(out.size()));
  return out;
}

struct SineFit {
  double amplitude;  // of the fitted sine
  double phase;      // radians, relative to sin
  double sinad;      // fitted sine against everything else, dB
};

// Least-squares fit of a sin + b cos + c at `cycles` per sample over y[from, to).
SineFit fitsine(const std::vector<int16_t>& y, double cycles, size_t from, size_t to) {
  double m[3][4] = {};
  for (size_t k = from; k < to; ++k) {
    const double w = 2 * kPi * cycles * static_cast<double>(k);
    const double basis[3] = {std::sin(w), std::cos(w), 1.0};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) m[r][c] += basis[r] * basis[c];
      m[r][3] += basis[r] * y[k];
    }
  }
  for (int p = 0; p < 3; ++p)  // Gauss-Jordan on the 3x3 normal equations
    for (int r = 0; r < 3; ++r) {
      if (r == p) continue;
      const double q = m[r][p] / m[p][p];
      for (int c = 0; c < 4; ++c) m[r][c] -= q * m[p][c];
    }
  const double a = m[0][3] / m[0][0], b = m[1][3] / m[1][1], dc = m[2][3] / m[2][2];
  double signal = 0, error = 0;
  for (size_t k = from; k < to; ++k) {
    const double w = 2 * kPi * cycles * static_cast<double>(k);
    const double fit = a * std::sin(w) + b * std::cos(w);
    signal += fit * fit;
    error += (y[k] - fit - dc) * (y[k] - fit - dc);
  }
  return {std::hypot(a, b), std::atan2(b, a), 10 * std::log10(signal / error)};
}

// ---- the filter table --------------------------------------------------------------------------

TEST(Resample, FilterTableLayout) {
  const int16_t* h = aurex::resamplefilter();
  const int16_t* d = aurex::resamplefilterdeltas();
  EXPECT_EQ(h[0], 32767);
  EXPECT_EQ(h[aurex::kResampleNwing - 1], 0);
  EXPECT_EQ(d[aurex::kResampleNwing - 1], 0);
  for (int i = 0; i + 1 < aurex::kResampleNwing; ++i) ASSERT_EQ(d[i], h[i + 1] - h[i]) << i;
  for (int i = 1; i < aurex::kResampleNwing; ++i) ASSERT_LT(h[i], 32767) << i;
  for (int i = 1; i < 300; ++i) ASSERT_LE(h[i], h[i - 1]) << i;  // the main lobe falls steadily
  // The fixed gain makes the taps of every phase sum to unity, so a converted sound keeps its level.
  for (int phase = 0; phase < aurex::kResampleNpc; ++phase) {
    int64_t sum = 0;
    for (int i = phase; i < aurex::kResampleNwing; i += aurex::kResampleNpc) sum += h[i];
    // The right wing mirrors the phase; at phase 0 it skips the centre tap the left wing took.
    for (int i = aurex::kResampleNpc - phase; i < aurex::kResampleNwing - 1; i += aurex::kResampleNpc)
      sum += h[i];
    const double gain = static_cast<double>(sum) * aurex::kResampleLpScl / (1 << 29);
    ASSERT_NEAR(gain, 1.0, 5e-4) << phase;
  }
}

// The converter's arithmetic done plainly: the whole input at once with silence around it, one
// output at a time, every coefficient looked up in the table. The windowed converter, with or
// without its per-phase tap layout, must give exactly these samples.
std::vector<int16_t> reference(double f, const std::vector<int16_t>& in, int32_t n, bool interpolate) {
  const int16_t* h = aurex::resamplefilter();
  const int16_t* d = aurex::resamplefilterdeltas();
  const auto dtb = static_cast<uint64_t>(32768.0 / f + 0.5);
  const bool down = f < 1;
  // Coefficient positions in 1/128 table entries: unit spacing is 256 entries per input sample.
  const uint32_t step = down ? static_cast<uint32_t>(std::min(256.0, 256 * f) * 128 + 0.5) : 256 * 128;
  const int32_t lpscl = down ? static_cast<int32_t>(f * aurex::kResampleLpScl + 0.5) : aurex::kResampleLpScl;
  const auto sample = [&in](int64_t i) -> int32_t { return i >= 0 && i < int64_t(in.size()) ? in[i] : 0; };
  const auto coeff = [&](uint32_t ho) {
    int32_t c = h[ho >> 7];
    if (interpolate) c += (d[ho >> 7] * int32_t(ho & 127)) >> 7;
    return c;
  };
  const auto tap = [](int32_t c, int32_t x) {
    int32_t t = c * x;
    if (t & (1 << 13)) t += 1 << 13;
    return t >> 14;
  };
  std::vector<int16_t> out(static_cast<size_t>(n));
  for (int32_t k = 0; k < n; ++k) {
    const uint64_t time = k * dtb;
    const int64_t i = static_cast<int64_t>(time >> 15);
    const auto ph = static_cast<uint32_t>(time & 32767);
    const auto phr = static_cast<uint32_t>(-time & 32767);
    int32_t v = 0;
    uint32_t ho = down ? (ph * step) >> 15 : ph;
    for (int64_t j = i; (ho >> 7) < 8192; ho += step) v += tap(coeff(ho), sample(j--));
    ho = (down ? (phr * step) >> 15 : phr) + (phr == 0 ? step : 0);
    for (int64_t j = i + 1; (ho >> 7) < 8191; ho += step) v += tap(coeff(ho), sample(j++));
    v >>= 2;
    v *= lpscl;
    v = (v + 4096) >> 13;
    out[k] = static_cast<int16_t>(std::clamp(v, -32768, 32767));
  }
  return out;
}

TEST(Resample, MatchesThePlainArithmeticExactly) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> dist(-32768, 32767);
  std::vector<int16_t> in(20011);
  for (int16_t& s : in) s = static_cast<int16_t>(dist(rng));
  // Ratios of small integers take the per-phase layout, the others the direct path.
  for (const double f :
       {0.5, 0.25, 2.0, 4.0, 1.0, 22050.0 / 32000, 48000.0 / 44100, 44100.0 / 48000, 0.3, 3.0, 1 / 61.5}) {
    for (int interpolate = 0; interpolate < 2; ++interpolate) {
      const auto n = static_cast<int32_t>(f * static_cast<double>(in.size()));
      std::vector<int16_t> out(static_cast<size_t>(n));
      ASSERT_EQ(AUREX_resample(f, in.data(), static_cast<int32_t>(in.size()), out.data(), n, interpolate), n);
      const std::vector<int16_t> want = reference(f, in, n, interpolate != 0);
      for (int32_t k = 0; k < n; ++k)
        ASSERT_EQ(out[k], want[k]) << "factor " << f << " interpolate " << interpolate << " output " << k;
    }
  }
}

// ---- conversion quality ------------------------------------------------------------------------

struct QualityCase {
  int32_t from, to;
  double hz;
  int interpolate;
  double minsinad;  // dB
};

class ResampleQuality : public testing::TestWithParam<QualityCase> {};

// A half-scale sine keeps its amplitude (within 0.02 dB) and its phase, and what is left after
// removing the sine (distortion, aliases, rounding) stays far below it.
TEST_P(ResampleQuality, SineKeepsAmplitudeWithLowDistortion) {
  const QualityCase p = GetParam();
  constexpr double kAmplitude = 16384;
  const std::vector<int16_t> in = sine(p.from, p.hz, kAmplitude, p.from);  // one second
  const std::vector<int16_t> out = convert(p.from, p.to, in, p.interpolate);
  const size_t edge = static_cast<size_t>(p.to) / 20;  // skip the filter's run-in at both ends
  // Output k lies at input time k x dtb / 2^15, dtb being the output period in the converter's
  // fixed point: at ratios like 48000 / 44100 the rounded period shifts the pitch by about 1e-5.
  const double dtb = std::floor(32768.0 * p.from / p.to + 0.5);
  const SineFit fit = fitsine(out, p.hz / p.from * dtb / 32768.0, edge, out.size() - edge);
  std::printf("%d -> %d Hz, %.0f Hz sine, %s: amplitude %.2f dB, SINAD %.1f dB\n", p.from, p.to, p.hz,
              p.interpolate ? "interpolated coefficients" : "nearest coefficients",
              20 * std::log10(fit.amplitude / kAmplitude), fit.sinad);
  EXPECT_NEAR(20 * std::log10(fit.amplitude / kAmplitude), 0.0, 0.05);
  EXPECT_NEAR(fit.phase, 0.0, 1e-3);
  EXPECT_GE(fit.sinad, p.minsinad);
}

// SINAD of a half-scale sine (full scale would read 6 dB higher). Each tap is rounded to the
// output's scale and the wing sum is truncated, which bounds it near 80 dB; at ratios that are
// not simple fractions, nearest (not interpolated) coefficients add phase noise.
INSTANTIATE_TEST_SUITE_P(
    Resample, ResampleQuality,
    testing::Values(QualityCase{44100, 22050, 1000, 0, 82}, QualityCase{22050, 44100, 1000, 0, 78},
                    QualityCase{44100, 22050, 1000, 1, 82}, QualityCase{22050, 44100, 1000, 1, 78},
                    QualityCase{44100, 22050, 7000, 0, 82}, QualityCase{44100, 48000, 1000, 0, 62},
                    QualityCase{48000, 44100, 1000, 0, 54}, QualityCase{44100, 48000, 1000, 1, 76},
                    QualityCase{48000, 44100, 1000, 1, 76}, QualityCase{44100, 11025, 440, 0, 84}));

// Content above the new rate's band must not fold back into it: a 15 kHz sine converted to
// 22050 Hz (it would alias to 7050 Hz) is all but gone.
TEST(Resample, RejectsWhatWouldAlias) {
  for (const double hz : {12000.0, 15000.0, 20000.0}) {
    const std::vector<int16_t> in = sine(44100, hz, 30000, 44100);
    const std::vector<int16_t> out = convert(44100, 22050, in, 0);
    double sum = 0;
    for (size_t k = 1000; k + 1000 < out.size(); ++k) sum += double(out[k]) * out[k];
    const double rms = std::sqrt(sum / static_cast<double>(out.size() - 2000));
    EXPECT_LT(20 * std::log10(rms / (30000 / std::sqrt(2.0))), -75.0) << hz;
  }
}

// ---- lengths, edges and arguments ----------------------------------------------------------------

// Every factor the window admits, down to the smallest, on full-scale noise: the requested
// length is always produced, without reading outside the window (checked by the sanitizer
// build) and without overflowing the fixed-point sums.
TEST(Resample, ProducesTheRequestedLengthAtEveryFactor) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> dist(-32768, 32767);
  for (const double f : {1 / 61.5, 0.1, 0.37, 0.5, 0.9999, 1.0, 1.0001, 2.0, 3.3, 8.0}) {
    for (const int32_t frames : {1, 2, 100, 4096, 10007}) {
      std::vector<int16_t> in(static_cast<size_t>(frames));
      for (int16_t& s : in) s = static_cast<int16_t>(dist(rng));
      const auto n = static_cast<int32_t>(f * frames);
      if (n == 0) continue;
      std::vector<int16_t> out(static_cast<size_t>(n) + 1, 12345);
      for (int interpolate = 0; interpolate < 2; ++interpolate)
        ASSERT_EQ(AUREX_resample(f, in.data(), frames, out.data(), n, interpolate), n) << f << " " << frames;
      EXPECT_EQ(out[n], 12345) << "wrote past the requested length";
    }
  }
}

// Input shaped to the filter's signs drives the sum past 16 bits: the output clamps.
TEST(Resample, ClampsToSixteenBits) {
  const int16_t* h = aurex::resamplefilter();
  std::vector<int16_t> in(200, 0);
  constexpr int centre = 100;
  for (int j = 0; j < 32; ++j) {
    const int16_t sign = h[j * aurex::kResampleNpc] >= 0 ? 32767 : -32768;
    in[centre - j] = sign;
    if (j > 0) in[centre + j] = sign;
  }
  std::vector<int16_t> out(200);
  ASSERT_EQ(AUREX_resample(1.0, in.data(), 200, out.data(), 200, 0), 200);
  EXPECT_EQ(out[centre], 32767);
  for (auto& s : in) s = static_cast<int16_t>(s == 32767 ? -32768 : 32767);
  ASSERT_EQ(AUREX_resample(1.0, in.data(), 200, out.data(), 200, 0), 200);
  EXPECT_EQ(out[centre], -32768);
}

TEST(Resample, KeepsTheLevelOfAConstant) {
  const std::vector<int16_t> in(20000, 10000);
  for (const double f : {0.25, 0.5, 0.7, 1.5, 2.0}) {
    for (int interpolate = 0; interpolate < 2; ++interpolate) {
      std::vector<int16_t> out(static_cast<size_t>(f * 20000));
      ASSERT_EQ(
          AUREX_resample(f, in.data(), 20000, out.data(), static_cast<int32_t>(out.size()), interpolate),
          static_cast<int32_t>(out.size()));
      // Within 0.8 %: at fractional phases the nearest coefficients run up to 0.6 % high, and the
      // interpolated ones about 0.06 % low.
      for (size_t k = 500; k + 500 < out.size(); ++k) ASSERT_NEAR(out[k], 10000, 80) << f << " " << k;
    }
  }
}

TEST(Resample, RefusesFactorsOutOfRange) {
  const std::vector<int16_t> in(1000, 1);
  std::vector<int16_t> out(1000, 5);
  for (const double f : {1 / 62.0, 0.0, -1.0, std::nan(""), HUGE_VAL, 1e6}) {
    EXPECT_EQ(AUREX_resample(f, in.data(), 1000, out.data(), 10, 0), 0) << f;
    EXPECT_STREQ(AUREX_lasterror(), "Re-sampling factor out of range in AUREX_resample.");
  }
  EXPECT_EQ(AUREX_resample(0.5, nullptr, 1000, out.data(), 10, 0), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Invalid buffer passed to AUREX_resample.");
  EXPECT_EQ(out[0], 5);
}

std::vector<int> g_progress;

TEST(Resample, ReportsProgressPerWindow) {
  g_progress.clear();
  AUREX_setprogress([](int percent) { g_progress.push_back(percent); });
  const std::vector<int16_t> in(100000, 0);
  std::vector<int16_t> out(50000);
  ASSERT_EQ(AUREX_resample(0.5, in.data(), 100000, out.data(), 50000, 0), 50000);
  AUREX_setprogress(nullptr);
  ASSERT_GE(g_progress.size(), 100000u / 4096);
  for (size_t i = 1; i < g_progress.size(); ++i) EXPECT_GE(g_progress[i], g_progress[i - 1]);
  EXPECT_EQ(g_progress.back(), 100);
}

}  // namespace
