// Helpers of the Parlet tests and benchmarks: hand-built bit streams, speech from espeak-ng at
// 22050 Hz, a whole-signal encode and decode, and segmental SNR.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quillon/codecs/parlet.h"

namespace parlet_test {

// Bits given in reading order as '0'/'1', packed least significant first.
inline std::vector<uint8_t> bitsof(const std::string& bits) {
  std::vector<uint8_t> out((bits.size() + 7) / 8 + 1, 0);
  for (size_t i = 0; i < bits.size(); ++i) {
    if (bits[i] == '1') out[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  }
  return out;
}

// Mono 16-bit speech of `text` at 22050 Hz, or nothing when espeak-ng is missing.
inline std::vector<int16_t> speech(const std::string& text) {
  if (std::system("command -v espeak-ng >/dev/null 2>&1") != 0) return {};
  const char* dir = std::getenv("TMPDIR");
  const std::string path =
      std::string(dir && *dir ? dir : "/tmp") + "/parlet_speech_" + std::to_string(getpid()) + ".wav";
  const std::string cmd = "espeak-ng -v en -s 150 -w '" + path + "' '" + text + "' >/dev/null 2>&1";
  const bool made = std::system(cmd.c_str()) == 0;
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> wav((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  if (!made || wav.size() < 44) return {};
  auto le32 = [&](size_t at) {
    return wav[at] | wav[at + 1] << 8 | wav[at + 2] << 16 | uint32_t{wav[at + 3]} << 24;
  };
  std::vector<int16_t> pcm;
  uint32_t rate = 0;
  for (size_t at = 12; at + 8 <= wav.size();) {
    const uint32_t size = le32(at + 4);
    if (std::memcmp(&wav[at], "fmt ", 4) == 0 && at + 16 <= wav.size()) rate = le32(at + 12);
    if (std::memcmp(&wav[at], "data", 4) == 0) {
      const size_t n = std::min<size_t>(size, wav.size() - at - 8) / 2;
      for (size_t i = 0; i < n; ++i)
        pcm.push_back(static_cast<int16_t>(wav[at + 8 + 2 * i] | wav[at + 9 + 2 * i] << 8));
      break;
    }
    at += 8 + size + (size & 1);
  }
  return rate == 22050 ? pcm : std::vector<int16_t>{};
}

// Encodes and decodes a whole channel; the result has the input's length.
inline std::vector<int16_t> roundtrip(const std::vector<int16_t>& in,
                                      std::vector<uint8_t>* stream = nullptr) {
  const size_t frames = (in.size() + PARLET_FRAME - 1) / PARLET_FRAME;
  std::vector<int16_t> padded(in);
  padded.resize(frames * PARLET_FRAME, 0);
  std::vector<uint8_t> bytes(static_cast<size_t>(parlet_maxbytes(static_cast<int64_t>(padded.size()))));
  PARLET_BITWRITER w{bytes.data(), bytes.size(), 0, 0, 0, false};
  static PARLET_ENCODER enc;
  parlet_encode_start(&enc, &w);
  for (size_t f = 0; f < frames; ++f) parlet_encode_frame(&enc, padded.data() + f * PARLET_FRAME, &w);
  parlet_flush(&w);
  bytes.resize(w.size);
  PARLET_BITREADER r;
  parlet_bits_start(&r, bytes.data(), bytes.size());
  static PARLET_SYNTH dec;
  parlet_reset(&dec, parlet_read_header(&r));
  std::vector<int16_t> out(padded.size());
  float frame[PARLET_FRAME];
  for (size_t f = 0; f < frames; ++f) {
    parlet_decode_frame(&dec, &r, frame);
    for (int i = 0; i < PARLET_FRAME; ++i) out[f * PARLET_FRAME + i] = parlet_to16(frame[i]);
  }
  out.resize(in.size());
  if (stream) *stream = std::move(bytes);
  return out;
}

// Whole-signal SNR in dB.
inline double snr(const std::vector<int16_t>& ref, const std::vector<int16_t>& test) {
  double s = 0.0, e = 0.0;
  for (size_t i = 0; i < ref.size(); ++i) {
    const double d = static_cast<double>(ref[i]) - test[i];
    s += static_cast<double>(ref[i]) * ref[i];
    e += d * d;
  }
  return 10.0 * std::log10(s / std::max(e, 1e-9));
}

// Mean SNR of 20 ms segments (441 samples at 22050 Hz), each limited to -10..35 dB; segments
// quieter than -50 dB below full scale are left out as silence.
inline double segsnr(const std::vector<int16_t>& ref, const std::vector<int16_t>& test) {
  constexpr size_t kSegment = 441;
  double sum = 0.0;
  int count = 0;
  for (size_t at = 0; at + kSegment <= ref.size(); at += kSegment) {
    double s = 0.0, e = 0.0;
    for (size_t i = at; i < at + kSegment; ++i) {
      const double d = static_cast<double>(ref[i]) - test[i];
      s += static_cast<double>(ref[i]) * ref[i];
      e += d * d;
    }
    if (s / kSegment < 32768.0 * 32768.0 * 1e-5) continue;
    sum += std::clamp(10.0 * std::log10(s / std::max(e, 1e-9)), -10.0, 35.0);
    ++count;
  }
  return count ? sum / count : 0.0;
}

}  // namespace parlet_test
