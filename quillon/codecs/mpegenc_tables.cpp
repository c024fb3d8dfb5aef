// Constant tables of the MPEG Layer 1/2 encoder and the tables derived from them.
#include "quillon/codecs/mpegenc_tables.h"
#include "quillon/codecs/mpegwindow.h"

#include <cmath>

namespace mpegenc_tables {

const int16_t kBitrateKbps[2][2][15] = {
    // lower sampling rates
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
    // MPEG-1
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384}},
};

const int32_t kSampleRate[2][3] = {{22050, 24000, 16000}, {44100, 48000, 32000}};

const QuantClass kQuantClass[kNumQuantClasses] = {
    {3, 1, 5},     {5, 1, 7},     {7, 0, 3},      {9, 1, 10},     {15, 0, 4},     {31, 0, 5},
    {63, 0, 6},    {127, 0, 7},   {255, 0, 8},    {511, 0, 9},    {1023, 0, 10},  {2047, 0, 11},
    {4095, 0, 12}, {8191, 0, 13}, {16383, 0, 14}, {32767, 0, 15}, {65535, 0, 16},
};

const float kClassSnrDb[kNumQuantClasses] = {7.00f,  11.00f, 16.00f, 20.84f, 25.28f, 31.59f,
                                             37.75f, 43.84f, 49.89f, 55.93f, 61.96f, 67.98f,
                                             74.01f, 80.03f, 86.05f, 92.01f, 98.01f};

const float kLayer1SnrDb[15] = {0.00f,  7.00f,  16.00f, 25.28f, 31.59f, 37.75f, 43.84f, 49.89f,
                                55.93f, 61.96f, 67.98f, 74.01f, 80.03f, 86.05f, 92.01f};

const float kCriticalBandEdgeHz[kNumCriticalBands] = {100,  200,  300,  400,  510,   630,   770,  920,  1080,
                                                      1270, 1480, 1720, 2000, 2320,  2700,  3150, 3700, 4400,
                                                      5300, 6400, 7700, 9500, 12000, 15500, 1e9f};

namespace {

// Allocation classes of one subband row; -1 is "no bits".
constexpr int8_t kRowHigh[16] = {-1, 0, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr int8_t kRowMid[16] = {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 16};
constexpr int8_t kRowMid3[8] = {-1, 0, 1, 2, 3, 4, 5, 16};
constexpr int8_t kRowTop2[4] = {-1, 0, 1, 16};
constexpr int8_t kRowLow[16] = {-1, 0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr int8_t kRowLow3[8] = {-1, 0, 1, 3, 4, 5, 6, 7};
constexpr int8_t kRowLow2[4] = {-1, 0, 1, 3};

struct RowSpan {
  int first, last;  // subbands, inclusive
  int nbal;
  const int8_t* row;
};

constexpr AllocTable make_table(int sblimit, const RowSpan* spans, int nspans) {
  AllocTable t{};
  t.sblimit = sblimit;
  for (int s = 0; s < nspans; ++s) {
    for (int sb = spans[s].first; sb <= spans[s].last && sb < sblimit; ++sb) {
      t.nbal[sb] = static_cast<int8_t>(spans[s].nbal);
      for (int a = 0; a < (1 << spans[s].nbal); ++a) t.cls[sb][a] = spans[s].row[a];
    }
  }
  return t;
}

constexpr RowSpan kSpansHigh[] = {
    {0, 2, 4, kRowHigh}, {3, 10, 4, kRowMid}, {11, 22, 3, kRowMid3}, {23, 29, 2, kRowTop2}};
constexpr RowSpan kSpansLow[] = {{0, 1, 4, kRowLow}, {2, 11, 3, kRowLow3}};
constexpr RowSpan kSpansLsf[] = {{0, 3, 4, kRowLow}, {4, 10, 3, kRowLow3}, {11, 29, 2, kRowLow2}};

constexpr AllocTable kTableA = make_table(27, kSpansHigh, 4);
constexpr AllocTable kTableB = make_table(30, kSpansHigh, 4);
constexpr AllocTable kTableC = make_table(8, kSpansLow, 2);
constexpr AllocTable kTableD = make_table(12, kSpansLow, 2);
constexpr AllocTable kTableLsf = make_table(30, kSpansLsf, 3);

Derived build_derived() {
  Derived d{};
  for (int i = 0; i < 63; ++i) d.scalefactor[i] = static_cast<float>(2.0 * std::pow(2.0, -i / 3.0));
  d.scalefactor[63] = 0.0f;
  for (int i = 0; i < 512; ++i) {
    const int32_t h = mpeg_window_prototype[i <= 256 ? i : 512 - i];
    const double sign = ((i / 64) & 1) ? -1.0 : 1.0;
    d.window[i] = static_cast<float>(sign * h / 2097152.0);
  }
  const double pi = std::acos(-1.0);
  for (int i = 0; i < 32; ++i)
    for (int m = 0; m < 32; ++m) d.matrix[m][i] = static_cast<float>(std::cos((2 * i + 1) * m * pi / 64.0));
  // The factor sqrt(8/3) keeps the window's power at one, so a spectrum line reads as the power of
  // the sine behind it.
  for (int i = 0; i < 1024; ++i)
    d.hann[i] = static_cast<float>(std::sqrt(8.0 / 3.0) * 0.5 * (1.0 - std::cos(2.0 * pi * i / 1024.0)));
  for (int k = 0; k < 512; ++k) {
    d.twiddle_re[k] = static_cast<float>(std::cos(2.0 * pi * k / 1024.0));
    d.twiddle_im[k] = static_cast<float>(-std::sin(2.0 * pi * k / 1024.0));
  }
  for (int i = 0; i < 1024; ++i) {
    int r = 0;
    for (int b = 0; b < 10; ++b) r |= ((i >> b) & 1) << (9 - b);
    d.bitrev[i] = static_cast<int16_t>(r);
  }
  return d;
}

}  // namespace

const AllocTable& layer2_alloc_table(bool lsf, int samplerate, int bitrate_kbps, int numchannels) {
  if (lsf) return kTableLsf;
  const int per_channel = bitrate_kbps / (numchannels > 1 ? 2 : 1);
  if ((samplerate == 48000 && per_channel >= 56) || (per_channel >= 56 && per_channel <= 80)) return kTableA;
  if (samplerate != 48000 && per_channel >= 96) return kTableB;
  if (samplerate != 32000 && per_channel <= 48) return kTableC;
  return kTableD;
}

const Derived& derived() {
  static const Derived d = build_derived();
  return d;
}

}  // namespace mpegenc_tables
