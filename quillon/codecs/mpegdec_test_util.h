// Test helpers of the MPEG audio decoder tests: whole-buffer decoding, a bit writer for hand-made
// frames, a synthetic test signal and the comparison of two PCM signals.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quillon/codecs/mpegdec.h"

namespace mpegdec_test {

// Decodes a whole buffer in pieces of `piece` bytes.
inline std::vector<int16_t> decode_all(const std::vector<uint8_t>& data, size_t offset = 0,
                                       size_t piece = 1 << 16, MpegSynthPath path = mpegdec_default_path(),
                                       int* channels = nullptr) {
  std::vector<int16_t> pcm;
  MpegDecoder* dec = mpegdec_create();
  if (!dec) return pcm;
  mpegdec_set_path(dec, path);
  if (offset <= data.size() && mpegdec_open(dec, data.data() + offset, data.size() - offset) == 0) {
    if (channels) *channels = mpegdec_channels(dec);
    std::vector<uint8_t> buf(piece);
    std::vector<uint8_t> bytes;
    for (;;) {
      const size_t got = mpegdec_read(dec, buf.data(), buf.size());
      bytes.insert(bytes.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
      if (got < buf.size()) break;
    }
    pcm.resize(bytes.size() / 2);
    if (!pcm.empty()) std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    mpegdec_close(dec);
  }
  mpegdec_destroy(dec);
  return pcm;
}

class BitWriter {
 public:
  void put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (nbits_ % 8 == 0) bytes_.push_back(0);
      if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> (nbits_ % 8));
      ++nbits_;
    }
  }
  // Pads with zero bytes up to `size` bytes.
  std::vector<uint8_t> finish(size_t size) {
    bytes_.resize(size, 0);
    return bytes_;
  }
  size_t bits() const { return nbits_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t nbits_ = 0;
};

// Deterministic pseudo-random numbers for test data.
class Lcg {
 public:
  explicit Lcg(uint32_t seed) : s_(seed) {}
  uint32_t next() {
    s_ = s_ * 1664525u + 1013904223u;
    return s_ >> 8;
  }

 private:
  uint32_t s_;
};

// A few seconds of "music": a chord with a slow tremolo, a sweep, and noise bursts with sharp attacks
// every 250 ms (which make encoders switch to short blocks). Interleaved 16-bit.
inline std::vector<int16_t> make_signal(int rate, int channels, double seconds) {
  const size_t n = static_cast<size_t>(rate * seconds);
  std::vector<int16_t> out(n * channels);
  Lcg rng(12345);
  const double pi = 3.14159265358979323846;
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double trem = 0.75 + 0.25 * std::sin(2 * pi * 0.7 * t);
    double chord = 0.18 * std::sin(2 * pi * 220 * t) + 0.12 * std::sin(2 * pi * 277.18 * t) +
                   0.1 * std::sin(2 * pi * 329.63 * t) + 0.05 * std::sin(2 * pi * 1760 * t);
    const double sweep = 0.08 * std::sin(2 * pi * (200 * t + 400 * t * t));
    const double in_burst = std::fmod(t, 0.25);
    double burst = 0;
    if (in_burst < 0.03) {
      const double noise = (static_cast<double>(rng.next() % 65536) / 32768.0 - 1.0);
      burst = 0.45 * noise * std::exp(-in_burst * 120);
    }
    for (int c = 0; c < channels; ++c) {
      const double pan = c == 0 ? 1.0 : 0.7;
      const double v = (chord * trem * pan + sweep * (c == 0 ? 0.6 : 1.0) + burst) * 32767.0 * 0.9;
      out[i * channels + c] = static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
    }
  }
  return out;
}

inline void write_le(std::ofstream& f, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) f.put(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline bool write_wav(const std::filesystem::path& path, const std::vector<int16_t>& pcm, int rate,
                      int channels) {
  std::ofstream f(path, std::ios::binary);
  const uint32_t data_bytes = static_cast<uint32_t>(pcm.size() * 2);
  f.write("RIFF", 4);
  write_le(f, 36 + data_bytes, 4);
  f.write("WAVEfmt ", 8);
  write_le(f, 16, 4);
  write_le(f, 1, 2);
  write_le(f, channels, 2);
  write_le(f, rate, 4);
  write_le(f, rate * channels * 2, 4);
  write_le(f, channels * 2, 2);
  write_le(f, 16, 2);
  f.write("data", 4);
  write_le(f, data_bytes, 4);
  for (int16_t s : pcm) write_le(f, static_cast<uint16_t>(s), 2);
  return static_cast<bool>(f);
}

inline std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline std::vector<int16_t> read_pcm(const std::filesystem::path& path) {
  const std::vector<uint8_t> b = read_file(path);
  std::vector<int16_t> pcm(b.size() / 2);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(b[2 * i] | (b[2 * i + 1] << 8));
  return pcm;
}

inline bool have_tool(const char* name) {
  const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

struct Comparison {
  double snr_db = 0;
  long offset = 0;  // ours[i + offset] matches ref[i]
  int max_diff = 0;
  size_t compared = 0;  // sample frames
};

// Finds the alignment (within +-max_shift frames) that best matches, then measures the SNR of ours
// against the reference over every overlapping sample.
inline Comparison compare(const std::vector<int16_t>& ours, const std::vector<int16_t>& ref, int channels,
                          long max_shift = 1152) {
  Comparison c;
  const long na = static_cast<long>(ours.size()) / channels, nb = static_cast<long>(ref.size()) / channels;
  auto measure = [&](long off, long from, long to, double& sig, double& err, int* maxd) {
    sig = err = 0;
    for (long i = from; i < to; ++i) {
      const long j = i + off;
      if (j < 0 || j >= na) continue;
      for (int ch = 0; ch < channels; ++ch) {
        const double r = ref[i * channels + ch];
        const double d = ours[j * channels + ch] - r;
        sig += r * r;
        err += d * d;
        if (maxd && std::abs(d) > *maxd) *maxd = static_cast<int>(std::abs(d));
      }
    }
  };
  double best = -1e300;
  const long from = std::min(nb, 3000L), to = std::min(nb, 9000L);
  for (long off = -max_shift; off <= max_shift; ++off) {
    double s, e;
    measure(off, from, to, s, e, nullptr);
    const double snr = s > 0 ? 10 * std::log10(s / std::fmax(e, 1e-9)) : -1e300;
    if (snr > best) {
      best = snr;
      c.offset = off;
    }
  }
  double s, e;
  measure(c.offset, 0, nb, s, e, &c.max_diff);
  c.snr_db = 10 * std::log10(std::fmax(s, 1e-9) / std::fmax(e, 1e-9));
  c.compared = static_cast<size_t>(std::max(0L, std::min(nb, na - c.offset) - std::max(0L, -c.offset)));
  return c;
}

}  // namespace mpegdec_test

namespace mpegdec_test {

// Four header bytes. version: 1 = MPEG-1, 2 = MPEG-2, 25 = the 2.5 extension (sync 0xFFE).
inline std::vector<uint8_t> header_bytes(int version, int layer, bool crc, int bitrate_index, int sr_index,
                                         int padding, int mode, int ext = 0) {
  BitWriter w;
  w.put(version == 25 ? 0x7FE : 0x7FF, 11);
  w.put(version == 1 ? 3 : version == 2 ? 2 : 0, 2);
  w.put(layer == 0 ? 0 : 4 - layer, 2);
  w.put(crc ? 0 : 1, 1);
  w.put(bitrate_index, 4);
  w.put(sr_index, 2);
  w.put(padding, 1);
  w.put(0, 1);
  w.put(mode, 2);
  w.put(ext, 2);
  w.put(0, 4);
  return w.finish(4);
}

// Offsets of the consecutive frames from `start`, found with the decoder's own header parser.
inline std::vector<size_t> frame_offsets(const std::vector<uint8_t>& data, size_t start,
                                         std::vector<MpegHeader>* headers = nullptr) {
  std::vector<size_t> offs;
  MpegDecoder* dec = mpegdec_create();
  size_t pos = start;
  while (pos < data.size() && mpegdec_open(dec, data.data() + pos, data.size() - pos) == 0) {
    MpegHeader h;
    if (!dec->peek_header(h) || pos + 4 + static_cast<size_t>(h.body_bytes) > data.size()) break;
    offs.push_back(pos);
    if (headers) headers->push_back(h);
    pos += 4 + static_cast<size_t>(h.body_bytes);
  }
  mpegdec_destroy(dec);
  return offs;
}

// Start of the first frame after an ID3v2 tag (0 when there is none).
inline size_t skip_id3v2(const std::vector<uint8_t>& d) {
  if (d.size() < 10 || d[0] != 'I' || d[1] != 'D' || d[2] != '3') return 0;
  size_t size = (size_t{d[6]} << 21) | (size_t{d[7]} << 14) | (size_t{d[8]} << 7) | d[9];
  return 10 + size + ((d[5] & 0x10) ? 10 : 0);
}

}  // namespace mpegdec_test
