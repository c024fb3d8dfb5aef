// Helpers of the end-to-end tests: running the built quillon (and general tools) in a shell,
// writing WAV fixtures, reading back the samples of WAVs the program wrote, and a scratch folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace apptest {

struct Result {
  int status = -1;
  std::string out;
};

// Runs a shell command; standard error joins the output when `witherrors`, else it is dropped.
inline Result shell(const std::string& command, bool witherrors = true) {
  FILE* p = popen((command + (witherrors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  Result r;
  if (!p) return r;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  const int raw = pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

#ifdef QUILLON_EXE
inline Result quillon(const std::string& args, bool witherrors = true) {
  return shell(std::string(QUILLON_EXE) + " " + args, witherrors);
}
#endif

inline bool havetool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string slurp(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A 16-bit PCM WAV; `sample(i, c)` gives frame i of channel c.
template <typename Fn>
void writewav(const std::string& p, int frames, int channels, int rate, Fn sample) {
  std::string b = "RIFF....WAVEfmt ";
  const auto put = [&b](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
  };
  put(16, 4), put(1, 2), put(channels, 2), put(rate, 4), put(rate * channels * 2, 4), put(channels * 2, 2);
  put(16, 2);
  b += "data";
  put(frames * channels * 2, 4);
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c) put(static_cast<uint32_t>(static_cast<int16_t>(sample(i, c))), 2);
  const uint32_t riff = static_cast<uint32_t>(b.size() - 8);
  for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<char>(riff >> (8 * i));
  std::ofstream(p, std::ios::binary) << b;
}

// Music-like sound: two partials per channel under a pulsing envelope, plus a little noise.
inline void writemusic(const std::string& p, int frames, int channels, int rate) {
  uint32_t seed = 1;
  writewav(p, frames, channels, rate, [&](int i, int c) {
    const double t = static_cast<double>(i) / rate;
    const double env = 0.55 + 0.45 * std::sin(2 * M_PI * 1.5 * t);
    seed = seed * 1664525u + 1013904223u;
    return static_cast<int>(env * (9000 * std::sin(2 * M_PI * (220.0 + 55 * c) * t) +
                                   4000 * std::sin(2 * M_PI * (660.0 + 110 * c) * t)) +
                            static_cast<int32_t>(seed >> 23) - 256);
  });
}

// The interleaved 16-bit samples of a WAV this program wrote (44-byte header).
inline std::vector<int16_t> samplesof(const std::string& p) {
  const std::string b = slurp(p);
  std::vector<int16_t> v(b.size() > 44 ? (b.size() - 44) / 2 : 0);
  for (size_t i = 0; i < v.size(); ++i)
    v[i] =
        static_cast<int16_t>(static_cast<uint8_t>(b[44 + 2 * i]) | static_cast<uint8_t>(b[45 + 2 * i]) << 8);
  return v;
}

// Signal-to-noise ratio of `b` against `a`, in dB, over frames [from, to) of interleaved data.
inline double snr(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t from = 0,
                  size_t to = SIZE_MAX) {
  double signal = 0, noise = 0;
  for (size_t i = from; i < std::min({a.size(), b.size(), to}); ++i) {
    const double x = a[i], e = x - b[i];
    signal += x * x;
    noise += e * e;
  }
  return 10 * std::log10(signal / noise);
}

// A fixture with a scratch folder of its own.
class ScratchTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quillon_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

}  // namespace apptest
