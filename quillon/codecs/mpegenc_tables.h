// Constant tables of the MPEG Layer 1/2 encoder: the published values (bit rates, sampling rates,
// analysis window prototype, Layer 2 allocation classes, quantizer signal-to-noise ratios,
// critical band edges) and the tables derived from them at first use (scale factors, analysis
// matrix, FFT window, threshold-in-quiet lines per sample rate).
#pragma once

#include <cstdint>

namespace mpegenc_tables {

// Frame header version bit: 1 = MPEG-1, 0 = lower sampling rates.
constexpr int kVersionMpeg1 = 1;
constexpr int kVersionLsf = 0;

// Bit rates in kbit/s by [lsf][layer - 1][index]; index 0 is the free format, index 15 forbidden.
extern const int16_t kBitrateKbps[2][2][15];

// Sampling rates by [lsf][header index].
extern const int32_t kSampleRate[2][3];

// Quantizer classes: steps, whether three samples share one code word, bits per code word.
struct QuantClass {
  int32_t steps;
  int8_t grouped;
  int8_t bits;
};
constexpr int kNumQuantClasses = 17;
extern const QuantClass kQuantClass[kNumQuantClasses];
// Signal-to-noise ratio in dB of each class (Layer 2) and of each Layer 1 allocation 0..14.
extern const float kClassSnrDb[kNumQuantClasses];
extern const float kLayer1SnrDb[15];

// One Layer 2 allocation table: per subband the width of the allocation field and the class of
// each allocation value (-1 for "no bits").
struct AllocTable {
  int sblimit;
  int8_t nbal[32];
  int8_t cls[32][16];
};
// Chooses the table as the frame header's sample rate and bit rate per channel require.
const AllocTable& layer2_alloc_table(bool lsf, int samplerate, int bitrate_kbps, int numchannels);

// Critical band edges in Hz (upper edges of bands 0..24).
constexpr int kNumCriticalBands = 25;
extern const float kCriticalBandEdgeHz[kNumCriticalBands];

// Derived tables, built once.
struct Derived {
  float scalefactor[64];  // 2 * 2^(-i/3); [63] is a sentinel below every index
  float window[512];      // analysis window with the polyphase sign pattern
  float matrix[32][32];   // [m][i] = cos((2i + 1) m pi / 64), the 64 window sums folded to 32
  float hann[1024];       // FFT analysis window, power-normalised
  float twiddle_re[512];
  float twiddle_im[512];
  int16_t bitrev[1024];
};
const Derived& derived();

}  // namespace mpegenc_tables
