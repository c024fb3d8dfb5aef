// Psychoacoustic model of the MPEG Layer 1/2 encoder: tonal and noise maskers found in a
// 1024-point spectrum, their spread masking thresholds on the critical band scale, and from them
// the signal-to-mask ratio of each of the 32 subbands.
#pragma once

#include <cstdint>

namespace mpegenc_psy {

constexpr int kFftSize = 1024;
constexpr int kMaxThresholdLines = 160;
constexpr int kMaxMaskers = 320;

// Tables that depend on the sample rate and bit rate, built once per encode.
struct Tables {
  int numlines;                           // threshold lines (a subsampled set of FFT lines)
  int16_t line[kMaxThresholdLines];       // FFT line of each threshold line
  float bark[kMaxThresholdLines];         // critical band rate of each threshold line
  float quiet[kMaxThresholdLines];        // threshold in quiet, dB
  float quiet_power[kMaxThresholdLines];  // the same as a power
  int16_t sb_first[32], sb_end[32];       // threshold lines inside each subband
  int16_t nearest[kFftSize / 2];          // FFT line -> nearest threshold line
  int numbands;                           // critical bands below half the sample rate
  int16_t band_first[26], band_end[26];   // FFT lines of each critical band
  int16_t band_centre[26];                // FFT line nearest the band's geometric mean
};

void init_tables(Tables* t, int samplerate, int bitrate_per_channel_kbps);

// Scratch space of one analysis; lives in the encoder state so the frame loop never allocates.
struct Work {
  float re[kFftSize], im[kFftSize];
  float power[2][kFftSize / 2];  // power spectrum of each channel (full scale 1)
  int8_t removed[kFftSize / 2];  // lines taken by a tonal masker
  int nmask;
  int16_t mask_line[kMaxMaskers];  // threshold line of each masker
  float mask_spl[kMaxMaskers];
  int8_t mask_tonal[kMaxMaskers];
  int16_t order[kMaxMaskers];  // maskers by rising critical band rate, and their terms in that order
  float mk_bark[kMaxMaskers], mk_level[kMaxMaskers], mk_lower[kMaxMaskers], mk_upper[kMaxMaskers];
  float global[kMaxThresholdLines];
};

// samples[c]: 1024 values of channel c scaled to -1..1, centred on the frame's subband samples.
// Fills the power spectra of the one or two channels.
void compute_spectra(Work* w, const float* const* samples, int numchannels);

// scf_max: per subband the largest scale factor value of the frame. Writes the signal-to-mask
// ratio in dB of each subband of the channel, from its spectrum.
void compute_smr(const Tables& t, Work* w, int channel, const float* scf_max, float* smr);

}  // namespace mpegenc_psy
