// The standard 180 s song (song.wav from ../shared/bench/make-inputs.sh under $PERF_DIR/in,
// default /tmp/perf/in) as two channels of 16-bit samples, loaded once per benchmark program.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline const char* song_path() {
  const char* dir = std::getenv("PERF_DIR");
  static const std::string path = std::string(dir ? dir : "/tmp/perf") + "/in/song.wav";
  return path.c_str();
}

struct Song {
  std::vector<int16_t> ch[2];
  int rate = 0;
};

// Empty when the file is missing or not 16-bit stereo PCM.
inline const Song& song() {
  static const Song s = [] {
    Song out;
    std::ifstream in(song_path(), std::ios::binary);
    const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto le32 = [&b](size_t p) {
      return b[p] | (b[p + 1] << 8) | (b[p + 2] << 16) | (uint32_t{b[p + 3]} << 24);
    };
    if (b.size() < 12 || b[0] != 'R' || b[8] != 'W') return out;
    size_t p = 12;
    int channels = 0, bits = 0;
    while (p + 8 <= b.size()) {
      const uint32_t size = le32(p + 4);
      const size_t body = p + 8;
      if (size > b.size() - body) break;
      if (b[p] == 'f' && b[p + 1] == 'm' && size >= 16) {
        channels = b[body + 2] | (b[body + 3] << 8);
        out.rate = static_cast<int>(le32(body + 4));
        bits = b[body + 14] | (b[body + 15] << 8);
      } else if (b[p] == 'd' && b[p + 1] == 'a' && channels == 2 && bits == 16) {
        const size_t frames = size / 4;
        for (int c = 0; c < 2; ++c) {
          out.ch[c].resize(frames);
          for (size_t i = 0; i < frames; ++i)
            out.ch[c][i] = static_cast<int16_t>(b[body + 4 * i + 2 * c] | (b[body + 4 * i + 2 * c + 1] << 8));
        }
        break;
      }
      p = body + size + (size & 1);
    }
    return out;
  }();
  return s;
}
