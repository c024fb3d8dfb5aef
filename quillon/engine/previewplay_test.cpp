// Preview playback through the real SDL2 disk and dummy drivers, on a stream file made here:
// what reaches the device, the reverb's part in it, the failures and their clean-up, Cancel and
// the progress.
#include "quillon/engine/previewplay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quillon/engine/audio.h"
#include "quillon/engine/audiostream.h"
#include "quillon/runtime/filesys.h"
#include "quillon/runtime/timer.h"

namespace {

constexpr float kK1[4] = {0.0f, 0.9375f, 1.796875f, 1.53125f};
constexpr float kK2[4] = {0.0f, 0.0f, -0.8125f, -0.859375f};
constexpr int kShift = 8;  // residual step 16
constexpr int kChunkFrames = 27;

struct History {
  float s1 = 0, s2 = 0;
};

// One frame of the float decoder: filter and shift from the header byte, each residual
// x 2^(12 - shift) plus the weighted history, no rounding and no limiting.
void decodeframe(const uint8_t* f, History& h, float* out) {
  const int filter = f[0] >> 4, shift = f[0] & 15;
  for (int i = 0; i < 28; ++i) {
    const int nibble = (i & 1) ? f[1 + i / 2] & 15 : f[1 + i / 2] >> 4;
    const int r = nibble >= 8 ? nibble - 16 : nibble;
    const float y =
        static_cast<float>(r) * std::ldexp(1.0f, 12 - shift) + h.s1 * kK1[filter] + h.s2 * kK2[filter];
    h.s2 = h.s1;
    h.s1 = y;
    out[i] = y;
  }
}

// Encodes against the float decoder itself (closed loop), cycling through the four filters.
std::vector<uint8_t> encodeframe(const float* x, History& h, int filter) {
  std::vector<uint8_t> f(15, 0);
  f[0] = static_cast<uint8_t>(filter << 4 | kShift);
  History s = h;
  for (int i = 0; i < 28; ++i) {
    const float pred = s.s1 * kK1[filter] + s.s2 * kK2[filter];
    const int r = std::clamp(static_cast<int>(std::lround((x[i] - pred) / 16.0f)), -8, 7);
    f[1 + i / 2] |= static_cast<uint8_t>((r & 15) << ((i & 1) ? 0 : 4));
    s.s2 = s.s1;
    s.s1 = static_cast<float>(r) * 16.0f + pred;
  }
  float dummy[28];
  decodeframe(f.data(), h, dummy);
  return f;
}

void put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void chunk(std::vector<uint8_t>& file, const char* id, const std::vector<uint8_t>& body) {
  file.insert(file.end(), id, id + 4);
  const size_t padded = (body.size() + 3) & ~size_t{3};
  put32(file, static_cast<uint32_t>(8 + padded));
  file.insert(file.end(), body.begin(), body.end());
  file.resize(file.size() + padded - body.size(), 0);
}

// A stereo 11025 Hz qvxa_blk stream of two slow tones, and its float decode per channel.
struct Stream {
  std::vector<uint8_t> bytes;
  std::vector<float> decoded[2];
};

Stream makestream(int chunks, int reverb) {
  constexpr int kRate = 11025;
  const int total = chunks * kChunkFrames * 28;
  Stream s;
  std::vector<uint8_t> header = {'P', 'T', 0,    0, 0x06,       1,           101,  0x82,
                                 1,   2,   0x84, 2, kRate >> 8, kRate & 255, 0x85, 4};
  for (int i = 3; i >= 0; --i) header.push_back(static_cast<uint8_t>(total >> (8 * i)));
  if (reverb) header.insert(header.end(), {0x13, 1, static_cast<uint8_t>(reverb)});
  header.push_back(0xFF);
  chunk(s.bytes, "SCHl", header);
  std::vector<uint8_t> count;
  put32(count, static_cast<uint32_t>(chunks));
  chunk(s.bytes, "SCCl", count);
  History h[2];
  int frame = 0;
  for (int c = 0; c < chunks; ++c) {
    std::vector<uint8_t> data[2];
    for (int ch = 0; ch < 2; ++ch) {
      // Each chunk re-seeds the decoder: the two history samples, the most recent first.
      const int16_t q[2] = {static_cast<int16_t>(std::lround(h[ch].s1)),
                            static_cast<int16_t>(std::lround(h[ch].s2))};
      for (int16_t v : q) {
        data[ch].push_back(static_cast<uint8_t>(v & 255));
        data[ch].push_back(static_cast<uint8_t>(v >> 8));
      }
      h[ch] = History{static_cast<float>(q[0]), static_cast<float>(q[1])};
      for (int f = 0; f < kChunkFrames; ++f) {
        float x[28];
        for (int i = 0; i < 28; ++i) {
          const double t = static_cast<double>((frame + f) * 28 + i) / kRate;
          x[i] = static_cast<float>(ch == 0 ? 3000 * std::sin(2 * M_PI * 220 * t)
                                            : 2000 * std::sin(2 * M_PI * 330 * t + 1));
        }
        History before = h[ch];
        const std::vector<uint8_t> bytes = encodeframe(x, h[ch], (frame + f) % 4);
        float y[28];
        decodeframe(bytes.data(), before, y);
        s.decoded[ch].insert(s.decoded[ch].end(), y, y + 28);
        data[ch].insert(data[ch].end(), bytes.begin(), bytes.end());
      }
    }
    std::vector<uint8_t> body;
    put32(body, kChunkFrames * 28);
    put32(body, 0);
    put32(body, static_cast<uint32_t>(data[0].size()));
    body.insert(body.end(), data[0].begin(), data[0].end());
    body.insert(body.end(), data[1].begin(), data[1].end());
    chunk(s.bytes, "SCDl", body);
    frame += kChunkFrames;
  }
  chunk(s.bytes, "SCEl", {});
  return s;
}

std::vector<std::string> g_statuses;
std::vector<int> g_progress;
int g_pumps = 0, g_cancelat = 0;

class Preview : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    ASSERT_EQ(AUDIO_getconfig(&saved_), 0);
    ASSERT_EQ(FILESYS_init(2, 0, 16), 1);
    ASSERT_EQ(TIMER_init(100), 1);
    g_statuses.clear();
    g_progress.clear();
    g_pumps = g_cancelat = 0;
    preview_setstatus([](const char* t) { g_statuses.emplace_back(t); });
    preview_setprogress([](int p) { g_progress.push_back(p); });
    preview_setpump([] {
      if (++g_pumps == g_cancelat) preview_cancel();
    });
  }
  void TearDown() override {
    preview_setstatus(nullptr);
    preview_setprogress(nullptr);
    preview_setpump(nullptr);
    preview_cleanup();
    FILESYS_shutdown();
    TIMER_stop();
    AUDIO_setconfig(&saved_);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
  }
  AUDIOCONFIG saved_{};
  std::string write(const Stream& s, const char* name) {
    const std::string p = ::testing::TempDir() + name;
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(s.bytes.data()), static_cast<std::streamsize>(s.bytes.size()));
    return p;
  }
  int play(const std::string& path) {
    return preview_ditty(path.c_str(), AUDIO_reverbfile, sizeof AUDIO_reverbfile);
  }
};

// Interleaved 16-bit stereo as the disk driver wrote it.
std::vector<int16_t> readdisk(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<int16_t> pcm;
  for (int16_t v; in.read(reinterpret_cast<char*>(&v), 2);) pcm.push_back(v);
  return pcm;
}

// The stream's decode taken to 22050 Hz with the engine's linear resampler (step 0x8000).
std::vector<float> upsample(const std::vector<float>& x) {
  std::vector<float> y(2 * x.size() - 2);
  for (size_t j = 0; j < y.size(); ++j) y[j] = (j & 1) ? 0.5f * (x[j / 2] + x[j / 2 + 1]) : x[j / 2];
  return y;
}

// Signal-to-noise ratio in dB of channel `ch` of `pcm` from frame `at` against `ref`, after the
// best gain (the engine's volume and pan gains) is taken out.
double snr(const std::vector<int16_t>& pcm, size_t at, int ch, const std::vector<float>& ref, size_t from,
           size_t to) {
  double xy = 0, yy = 0;
  for (size_t j = from; j < to; ++j) xy += pcm[2 * (at + j) + ch] * ref[j], yy += double{ref[j]} * ref[j];
  const double g = xy / yy;
  double sig = 0, err = 0;
  for (size_t j = from; j < to; ++j) {
    const double e = pcm[2 * (at + j) + ch] - g * ref[j];
    sig += g * ref[j] * g * ref[j], err += e * e;
  }
  return 10 * std::log10(sig / std::max(err, 1e-9));
}

// The disk file of a preview: the first sound, and the SNR of each channel against the decode.
struct Heard {
  size_t onset = 0;
  double snr[2] = {0, 0};
};

Heard hear(const std::vector<int16_t>& pcm, const Stream& s) {
  Heard h;
  const size_t frames = pcm.size() / 2;
  while (h.onset < frames && pcm[2 * h.onset] == 0 && pcm[2 * h.onset + 1] == 0) ++h.onset;
  for (int ch = 0; ch < 2; ++ch) {
    const std::vector<float> ref = upsample(s.decoded[ch]);
    const size_t to = std::min(ref.size(), frames - h.onset);
    h.snr[ch] = to > 2000 ? snr(pcm, h.onset, ch, ref, 32, to) : 0;  // past the gain ramp
  }
  return h;
}

TEST_F(Preview, DiskFileIsTheFloatDecodeResampledAndReverbAddsItsOwn) {
  const std::string disk = ::testing::TempDir() + "preview_disk.raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", disk.c_str(), 1);
  // Short output passes keep a busy machine from underrunning the device (a gap would be heard
  // as noise here); the engine's defaults come back at the end.
  AUDIOCONFIG c = saved_;
  c.period = 2;
  ASSERT_EQ(AUDIO_setconfig(&c), 0);
  const Stream dry = makestream(15, 0), wet = makestream(15, 64);
  ASSERT_EQ(play(write(dry, "preview_dry.asf")), PREVIEW_OK);
  EXPECT_EQ(g_statuses, (std::vector<std::string>{"Initialising audio...", "Playing...", "Done"}));
  EXPECT_FALSE(AUDIO_isrunning());
  const std::vector<int16_t> drypcm = readdisk(disk);
  const Heard d = hear(drypcm, dry);
  ASSERT_LT(d.onset, drypcm.size() / 2);
  EXPECT_GT(d.snr[0], 50.0);
  EXPECT_GT(d.snr[1], 50.0);

  ASSERT_EQ(play(write(wet, "preview_wet.asf")), PREVIEW_OK);
  const std::vector<int16_t> wetpcm = readdisk(disk);
  const Heard w = hear(wetpcm, wet);
  // The same dry sound is there, with the reverb's contribution on top of it.
  EXPECT_LT(w.snr[0], 30.0);
  EXPECT_LT(w.snr[1], 30.0);
  EXPECT_GT(w.snr[0], 0.0);
  double diff = 0;
  const size_t n = std::min(drypcm.size() / 2 - d.onset, wetpcm.size() / 2 - w.onset);
  for (size_t j = 0; j < n; ++j) diff += std::abs(wetpcm[2 * (w.onset + j)] - drypcm[2 * (d.onset + j)]);
  EXPECT_GT(diff / static_cast<double>(n), 10.0);
  if (!HasFailure()) std::remove(disk.c_str());
}

TEST_F(Preview, ProgressRunsToAHundred) {
  ASSERT_EQ(play(write(makestream(8, 0), "preview_progress.asf")), PREVIEW_OK);
  ASSERT_FALSE(g_progress.empty());
  EXPECT_TRUE(std::is_sorted(g_progress.begin(), g_progress.end()));
  EXPECT_EQ(g_progress.back(), 100);
  EXPECT_GE(g_progress.front(), 0);
  EXPECT_TRUE(std::any_of(g_progress.begin(), g_progress.end(), [](int p) { return p > 0 && p < 100; }));
}

TEST_F(Preview, CancelEndsWithinOnePass) {
  g_cancelat = 5;
  ASSERT_EQ(play(write(makestream(60, 0), "preview_cancel.asf")), PREVIEW_OK);
  EXPECT_EQ(g_pumps, 5);
  EXPECT_EQ(g_statuses.back(), "Done");
  EXPECT_FALSE(AUDIO_isrunning());
}

// Every failing step gives its code, and the engine is down when the call returns.
TEST_F(Preview, FailuresLeaveNoEngineRunning) {
  const std::string good = write(makestream(2, 0), "preview_fail.asf");
  std::vector<uint8_t> cut = makestream(4, 0).bytes;
  cut.resize(cut.size() - 700);
  const std::string truncated = write(Stream{cut, {}}, "preview_cut.asf");
  struct Case {
    const char* name;
    const char* driver;
    std::string path;
    bool reverb;
    int result;
    int fault;
  };
  const Case cases[] = {
      {"no reverb block", "dummy", good, false, PREVIEW_NOREVERB, 0},
      {"no audio device", "no-such-driver", good, true, PREVIEW_AUDIOFAILED, 0},
      {"truncated stream", "dummy", truncated, true, PREVIEW_AUDIOFAILED, AUDIOSTREAM_ECORRUPT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setenv("SDL_AUDIODRIVER", c.driver, 1);
    g_statuses.clear();
    EXPECT_EQ(preview_ditty(c.path.c_str(), c.reverb ? AUDIO_reverbfile : nullptr, c.reverb ? 36 : 0),
              c.result);
    EXPECT_FALSE(AUDIO_isrunning());
    ASSERT_FALSE(g_statuses.empty());
    EXPECT_EQ(g_statuses.front(), "Initialising audio...");
    EXPECT_NE(g_statuses.back(), "Done");
    EXPECT_EQ(preview_streamfault(), c.fault);
  }
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  TIMER_stop();  // nothing would ever move the stream
  EXPECT_EQ(play(good), PREVIEW_AUDIOFAILED);
  EXPECT_FALSE(AUDIO_isrunning());
  ASSERT_EQ(TIMER_init(100), 1);
}

}  // namespace
