// Psychoacoustic model of the MPEG Layer 1/2 encoder (the ISO/IEC 11172-3 model that separates
// tonal from noise-like maskers).
#include "quillon/codecs/mpegenc_psy.h"

#include <algorithm>
#include <cmath>

#include "quillon/codecs/mpegenc_tables.h"

namespace mpegenc_psy {

namespace {

constexpr float kMinusInfinityDb = -200.0f;
// Full-scale reference of the model: a power spectrum value of 1 reads as 96 dB.
constexpr float kFullScalePower = 3981071705.5f;  // 10^(96/10)

float bark_of(double hz) {
  return static_cast<float>(13.0 * std::atan(0.00076 * hz) + 3.5 * std::atan((hz / 7500.0) * (hz / 7500.0)));
}

float db_to_power(float db) {
  return std::exp(db * 0.23025851f);
}  // 10^(db/10)
float power_to_db(float p) {
  return p > 1e-20f ? 10.0f * std::log10(p) : kMinusInfinityDb;
}

void fft(const mpegenc_tables::Derived& d, float* re, float* im) {
  for (int len = 2; len <= kFftSize; len <<= 1) {
    const int half = len >> 1;
    const int step = kFftSize / len;
    for (int start = 0; start < kFftSize; start += len) {
      for (int j = 0; j < half; ++j) {
        const float wr = d.twiddle_re[j * step], wi = d.twiddle_im[j * step];
        const int a = start + j, b = a + half;
        const float tr = re[b] * wr - im[b] * wi;
        const float ti = re[b] * wi + im[b] * wr;
        re[b] = re[a] - tr;
        im[b] = im[a] - ti;
        re[a] += tr;
        im[a] += ti;
      }
    }
  }
}

// Lines around a local maximum that must lie 7 dB below it; the neighbourhood widens with
// frequency because the spectrum's lines get narrower than the critical bands.
int tonal_reach(int k) {
  if (k < 63) return 2;
  if (k < 127) return 3;
  if (k < 255) return 6;
  return 12;
}

}  // namespace

void init_tables(Tables* t, int samplerate, int bitrate_per_channel_kbps) {
  *t = Tables{};
  const double line_hz = static_cast<double>(samplerate) / kFftSize;
  // Spectrum lines are kept densely at low frequencies, where critical bands are narrow.
  int n = 0;
  for (int k = 1; k < kFftSize / 2 && n < kMaxThresholdLines;) {
    t->line[n] = static_cast<int16_t>(k);
    const double hz = k * line_hz;
    const double khz = hz / 1000.0;
    t->bark[n] = bark_of(hz);
    double quiet = 3.64 * std::pow(khz, -0.8) - 6.5 * std::exp(-0.6 * (khz - 3.3) * (khz - 3.3)) +
                   1e-3 * khz * khz * khz * khz;
    // At high bit rates quantization noise near the threshold in quiet is affordable.
    if (bitrate_per_channel_kbps >= 96) quiet -= 12.0;
    quiet = std::min(quiet, 200.0);
    t->quiet[n] = static_cast<float>(quiet);
    t->quiet_power[n] = db_to_power(t->quiet[n]);
    ++n;
    k += k < 48 ? 1 : k < 96 ? 2 : k < 192 ? 4 : 8;
  }
  t->numlines = n;
  for (int sb = 0; sb < 32; ++sb) {
    int first = 0;
    while (first < n && t->line[first] < sb * 16) ++first;
    int end = first;
    while (end < n && t->line[end] < sb * 16 + 16) ++end;
    t->sb_first[sb] = static_cast<int16_t>(first);
    t->sb_end[sb] = static_cast<int16_t>(end);
  }
  for (int k = 0; k < kFftSize / 2; ++k) {
    int best = 0;
    for (int i = 1; i < n; ++i)
      if (std::abs(t->line[i] - k) < std::abs(t->line[best] - k)) best = i;
    t->nearest[k] = static_cast<int16_t>(best);
  }
  int nb = 0;
  double lo = 0.0;
  for (int b = 0; b < mpegenc_tables::kNumCriticalBands && nb < 26; ++b) {
    const double hi = mpegenc_tables::kCriticalBandEdgeHz[b];
    int first = std::max(1, static_cast<int>(std::ceil(lo / line_hz)));
    int end = std::min(kFftSize / 2, static_cast<int>(std::ceil(hi / line_hz)));
    lo = hi;
    if (first >= end) continue;
    t->band_first[nb] = static_cast<int16_t>(first);
    t->band_end[nb] = static_cast<int16_t>(end);
    t->band_centre[nb] = static_cast<int16_t>(std::lround(std::sqrt(static_cast<double>(first) * (end - 1))));
    ++nb;
    if (end == kFftSize / 2) break;
  }
  t->numbands = nb;
}

void compute_spectra(Work* w, const float* const* samples, int numchannels) {
  const mpegenc_tables::Derived& d = mpegenc_tables::derived();
  // Two real signals share one complex transform: the first as the real part, the second as the
  // imaginary part; the conjugate symmetry of real spectra separates them again.
  for (int i = 0; i < kFftSize; ++i) {
    const int r = d.bitrev[i];
    w->re[r] = samples[0][i] * d.hann[i];
    w->im[r] = numchannels > 1 ? samples[1][i] * d.hann[i] : 0.0f;
  }
  fft(d, w->re, w->im);
  constexpr float kNorm = 1.0f / (kFftSize * kFftSize);
  for (int k = 0; k < kFftSize / 2; ++k) {
    float p0, p1 = 0.0f;
    if (numchannels > 1) {
      const int n = (kFftSize - k) & (kFftSize - 1);
      const float ar = 0.5f * (w->re[k] + w->re[n]), ai = 0.5f * (w->im[k] - w->im[n]);
      const float br = 0.5f * (w->im[k] + w->im[n]), bi = 0.5f * (w->re[n] - w->re[k]);
      p0 = (ar * ar + ai * ai) * kNorm;
      p1 = (br * br + bi * bi) * kNorm;
    } else {
      p0 = (w->re[k] * w->re[k] + w->im[k] * w->im[k]) * kNorm;
    }
    w->power[0][k] = p0;
    w->power[1][k] = p1;
  }
}

void compute_smr(const Tables& t, Work* w, int channel, const float* scf_max, float* smr) {
  const float* power = w->power[channel];
  for (int k = 0; k < kFftSize / 2; ++k) w->removed[k] = 0;

  float level[32];
  for (int sb = 0; sb < 32; ++sb) {
    float peak = 0.0f;
    for (int k = sb * 16; k < sb * 16 + 16; ++k) peak = std::max(peak, power[k]);
    float m = power_to_db(peak * kFullScalePower);
    if (scf_max[sb] > 0.0f) m = std::max(m, 20.0f * std::log10(scf_max[sb] * 32768.0f) - 10.0f);
    level[sb] = m;
  }

  // Tonal maskers: local maxima standing 7 dB above their neighbourhood.
  w->nmask = 0;
  int last_tonal = -1;
  float last_bark = 0.0f;
  for (int k = 3; k < 500; ++k) {
    // Compared as powers: 7 dB is a ratio of 5.0119.
    const float x = power[k] * (1.0f / 5.0118723f);
    if (!(power[k] > power[k - 1] && power[k] >= power[k + 1])) continue;
    const int reach = tonal_reach(k);
    bool tonal = true;
    for (int j = 2; j <= reach && tonal; ++j) {
      if (x < power[k - j]) tonal = false;
      if (k + j < kFftSize / 2 && x < power[k + j]) tonal = false;
    }
    if (!tonal) continue;
    for (int j = -reach; j <= reach; ++j)
      if (k + j >= 0 && k + j < kFftSize / 2) w->removed[k + j] = 1;
    const float level_db = power_to_db((power[k - 1] + power[k] + power[k + 1]) * kFullScalePower);
    const int line = t.nearest[k];
    if (level_db < t.quiet[line]) continue;
    // Of two tonal maskers closer than half a critical band only the stronger one counts.
    if (last_tonal >= 0 && t.bark[line] - last_bark < 0.5f) {
      if (level_db > w->mask_spl[last_tonal]) {
        w->mask_spl[last_tonal] = level_db;
        w->mask_line[last_tonal] = static_cast<int16_t>(line);
        last_bark = t.bark[line];
      }
      continue;
    }
    if (w->nmask >= kMaxMaskers) break;
    last_tonal = w->nmask;
    last_bark = t.bark[line];
    w->mask_line[w->nmask] = static_cast<int16_t>(line);
    w->mask_spl[w->nmask] = level_db;
    w->mask_tonal[w->nmask] = 1;
    ++w->nmask;
  }

  // Noise maskers: what the tonal maskers left of each critical band, at the band's centre.
  for (int b = 0; b < t.numbands && w->nmask < kMaxMaskers; ++b) {
    float sum = 0.0f;
    for (int k = t.band_first[b]; k < t.band_end[b]; ++k)
      if (!w->removed[k]) sum += power[k];
    const float level_db = power_to_db(sum * kFullScalePower);
    const int line = t.nearest[t.band_centre[b]];
    if (sum <= 0.0f || level_db < t.quiet[line]) continue;
    w->mask_line[w->nmask] = static_cast<int16_t>(line);
    w->mask_spl[w->nmask] = level_db;
    w->mask_tonal[w->nmask] = 0;
    ++w->nmask;
  }

  // Order the maskers by critical band rate, so each threshold line visits only the maskers
  // whose spreading reaches it (3 bark downwards, 8 upwards).
  const int nm = w->nmask;
  for (int m = 0; m < nm; ++m) w->order[m] = static_cast<int16_t>(m);
  std::sort(w->order, w->order + nm, [w](int16_t a, int16_t b) { return w->mask_line[a] < w->mask_line[b]; });
  for (int r = 0; r < nm; ++r) {
    const int m = w->order[r];
    const float zj = t.bark[w->mask_line[m]];
    const float x = w->mask_spl[m];
    w->mk_bark[r] = zj;
    w->mk_level[r] = x + (w->mask_tonal[m] ? -1.525f - 0.275f * zj - 4.5f : -1.525f - 0.175f * zj - 0.5f);
    w->mk_lower[r] = 0.4f * x + 6.0f;
    w->mk_upper[r] = 17.0f - 0.15f * x;
  }
  int lo = 0, hi = 0;
  for (int i = 0; i < t.numlines; ++i) {
    const float zi = t.bark[i];
    while (lo < nm && zi - w->mk_bark[lo] >= 8.0f) ++lo;
    while (hi < nm && zi - w->mk_bark[hi] >= -3.0f) ++hi;
    float sum = t.quiet_power[i];
    for (int r = lo; r < hi; ++r) {
      const float dz = zi - w->mk_bark[r];
      float spread;
      if (dz < -1.0f)
        spread = 17.0f * (dz + 1.0f) - w->mk_lower[r];
      else if (dz < 0.0f)
        spread = w->mk_lower[r] * dz;
      else if (dz < 1.0f)
        spread = -17.0f * dz;
      else
        spread = -(dz - 1.0f) * w->mk_upper[r] - 17.0f;
      sum += db_to_power(w->mk_level[r] + spread);
    }
    w->global[i] = power_to_db(sum);
  }

  for (int sb = 0; sb < 32; ++sb) {
    float lowest = 1e9f;
    for (int i = t.sb_first[sb]; i < t.sb_end[sb]; ++i) lowest = std::min(lowest, w->global[i]);
    if (t.sb_first[sb] >= t.sb_end[sb])
      lowest = w->global[t.nearest[std::min(sb * 16 + 8, kFftSize / 2 - 1)]];
    smr[sb] = level[sb] - lowest;
  }
}

}  // namespace mpegenc_psy
