// Writes the demo tune that README's first command imports: six seconds of synthesized music
// (a pad, a bass line, a lead melody, kick, snare and hi-hat) as a 44.1 kHz stereo 16-bit WAV.
// Everything is computed from fixed numbers, so every build writes the same bytes.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr double kBeat = 0.375;  // seconds per beat: 160 beats per minute
constexpr int kBeats = 16;
constexpr double kPi = 3.14159265358979323846;

double note(int semitones) {
  return 220.0 * std::pow(2.0, semitones / 12.0);
}

struct Mix {
  std::vector<double> left, right;
  explicit Mix(size_t frames) : left(frames), right(frames) {}
  void add(size_t at, double v, double pan) {  // pan: 0 left .. 1 right
    if (at >= left.size()) return;
    left[at] += v * (1.0 - pan);
    right[at] += v * pan;
  }
};

uint32_t g_seed = 12345;
double noise() {
  g_seed = g_seed * 1103515245u + 12345u;
  return static_cast<double>((g_seed >> 8) & 0xFFFF) / 32768.0 - 1.0;
}

void tone(Mix& m, double start, double length, double freq, double gain, double pan, bool square) {
  const size_t first = static_cast<size_t>(start * kRate);
  const size_t count = static_cast<size_t>(length * kRate);
  for (size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double phase = std::fmod(t * freq, 1.0);
    const double wave = square ? (phase < 0.5 ? 0.6 : -0.6) : 4.0 * std::fabs(phase - 0.5) - 1.0;
    const double env = std::min(1.0, t / 0.01) * std::exp(-3.0 * t / length);
    m.add(first + i, wave * env * gain, pan);
  }
}

void kick(Mix& m, double start) {
  const size_t first = static_cast<size_t>(start * kRate);
  double phase = 0;
  for (size_t i = 0; i < static_cast<size_t>(0.25 * kRate); ++i) {
    const double t = static_cast<double>(i) / kRate;
    phase += (45.0 + 110.0 * std::exp(-t * 30.0)) / kRate;
    m.add(first + i, std::sin(2 * kPi * phase) * std::exp(-t * 12.0) * 0.9, 0.5);
  }
}

void hit(Mix& m, double start, double length, double gain, double decay, double pan) {
  const size_t first = static_cast<size_t>(start * kRate);
  double previous = 0;
  for (size_t i = 0; i < static_cast<size_t>(length * kRate); ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double n = noise();
    const double bright = n - previous;  // a crude high-pass for the hats
    previous = n;
    m.add(first + i, (decay > 40 ? bright : n) * std::exp(-t * decay) * gain, pan);
  }
}

void put(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: quillon_demotune OUTPUT.wav\n");
    return 2;
  }
  const size_t frames = static_cast<size_t>(kBeats * kBeat * kRate);
  Mix m(frames);
  const int chords[4][3] = {{0, 3, 7}, {-4, 0, 3}, {-9, -5, -2}, {-5, -1, 2}};  // Am F C G
  const int melody[kBeats * 2] = {12, 15, 19, 15, 17, 15, 12, 10, 8, 12, 15, 12, 10, 8,  7, 8,
                                  3,  7,  10, 7,  12, 10, 7,  5,  7, 10, 14, 10, 12, 10, 7, 7};
  for (int bar = 0; bar < 4; ++bar) {
    const double at = bar * 4 * kBeat;
    for (int k = 0; k < 3; ++k) tone(m, at, 4 * kBeat, note(chords[bar][k]), 0.10, 0.3 + 0.2 * k, false);
    for (int b = 0; b < 4; ++b)
      tone(m, at + b * kBeat, kBeat * 0.9, note(chords[bar][0] - 24), 0.35, 0.5, false);
  }
  for (int i = 0; i < kBeats * 2; ++i) tone(m, i * kBeat / 2, kBeat / 2, note(melody[i]), 0.12, 0.65, true);
  for (int b = 0; b < kBeats; ++b) {
    if (b % 2 == 0) kick(m, b * kBeat);
    if (b % 2 == 1) hit(m, b * kBeat, 0.2, 0.35, 18.0, 0.45);
    hit(m, b * kBeat + kBeat / 2, 0.05, 0.25, 80.0, 0.7);
  }

  std::string wav = "RIFF";
  put(wav, static_cast<uint32_t>(36 + frames * 4), 4);
  wav += "WAVEfmt ";
  put(wav, 16, 4), put(wav, 1, 2), put(wav, 2, 2), put(wav, kRate, 4), put(wav, kRate * 4, 4), put(wav, 4, 2);
  put(wav, 16, 2);
  wav += "data";
  put(wav, static_cast<uint32_t>(frames * 4), 4);
  for (size_t i = 0; i < frames; ++i)
    for (double v : {m.left[i], m.right[i]})
      put(wav,
          static_cast<uint32_t>(static_cast<int16_t>(std::lround(std::clamp(v * 1.5, -1.0, 1.0) * 32767))),
          2);

  const std::string temp = std::string(argv[1]) + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f || std::fwrite(wav.data(), 1, wav.size(), f) != wav.size() || std::fclose(f) != 0 ||
      std::rename(temp.c_str(), argv[1]) != 0) {
    std::fprintf(stderr, "quillon_demotune: could not write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
