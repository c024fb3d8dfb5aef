// Test signals and an SNR measure shared by the console codec tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

// A few seconds' worth of a music-like signal: two chords with vibrato and a decaying pluck.
inline std::vector<int16_t> consolemusic(int32_t n, double rate = 22050.0) {
  std::vector<int16_t> v(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    const double t = i / rate;
    const double vib = 1.0 + 0.003 * std::sin(2 * M_PI * 5.0 * t);
    double s = 0.3 * std::sin(2 * M_PI * 220.0 * vib * t) + 0.2 * std::sin(2 * M_PI * 277.2 * t) +
               0.15 * std::sin(2 * M_PI * 329.6 * t) + 0.1 * std::sin(2 * M_PI * 1318.5 * t);
    s += 0.2 * std::exp(-8.0 * std::fmod(t, 0.5)) * std::sin(2 * M_PI * 880.0 * t);
    v[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(s * 20000.0));
  }
  return v;
}

inline double snrdb(const int16_t* ref, const int16_t* got, int32_t n) {
  double sig = 0, err = 0;
  for (int32_t i = 0; i < n; ++i) {
    sig += static_cast<double>(ref[i]) * ref[i];
    err += (static_cast<double>(ref[i]) - got[i]) * (static_cast<double>(ref[i]) - got[i]);
  }
  return err == 0 ? 200.0 : 10.0 * std::log10(sig / err);
}
