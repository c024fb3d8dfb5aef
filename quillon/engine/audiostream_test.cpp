// The stream player: header parsing, the items' life through the service pass and the sources,
// format changes, bad and corrupt input, and what the real SDL2 disk driver plays.
#include "quillon/engine/audiostream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "quillon/codecs/parlet_test_util.h"
#include "quillon/codecs/qvxa.h"
#include "quillon/engine/engine_testutil.h"
#include "quillon/runtime/faultcatch_test.h"
#include "quillon/runtime/filesys.h"
#include "quillon/runtime/stream.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Pcm = std::vector<int16_t>;

void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put16(Bytes& b, int v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void chunk(Bytes& out, const char* id, const Bytes& body) {
  out.insert(out.end(), id, id + 4);
  const size_t size = (8 + body.size() + 3) & ~size_t{3};
  put32(out, static_cast<uint32_t>(size));
  out.insert(out.end(), body.begin(), body.end());
  out.resize(out.size() + size - 8 - body.size(), 0);
}

// A value tag in the shortest form the writer uses.
void tag(Bytes& b, int t, int32_t v) {
  b.push_back(static_cast<uint8_t>(t));
  const int n = v == 0                          ? 0
                : v >= -128 && v <= 127         ? 1
                : v >= -32768 && v <= 32767     ? 2
                : v >= -8388608 && v <= 8388352 ? 3
                                                : 4;
  b.push_back(static_cast<uint8_t>(n));
  for (int i = n - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

struct Sound {
  Sound(int rep, int rate, std::vector<Pcm> channels, int perchunk = 1484)
      : rep(rep), rate(rate), channels(std::move(channels)), perchunk(perchunk) {}
  int rep;
  int rate;
  std::vector<Pcm> channels;
  int perchunk;
  int32_t total = -1;  // the header's count; -1: the real one
  int reverb = 0;
  Bytes extratags;
};

Bytes header_body(const Sound& s, size_t frames) {
  Bytes h{'P', 'T', 0, 0};
  tag(h, 0x06, 101);
  if (s.reverb) tag(h, 0x13, s.reverb);
  h.push_back(0xFD);
  tag(h, 0x80, 1);
  tag(h, 0x85, s.total >= 0 ? s.total : static_cast<int32_t>(frames));
  tag(h, 0x82, static_cast<int32_t>(s.channels.size()));
  tag(h, 0x84, s.rate);
  tag(h, 0xA0, s.rep);
  h.insert(h.end(), s.extratags.begin(), s.extratags.end());
  h.push_back(0xFF);
  return h;
}

// One channel's data of a chunk, encoded as the stream writer does.
struct ChannelCoder {
  XA_ENCSTATE xa{};
  PARLET_ENCODER pl{};
  Bytes encode(int rep, const int16_t* in, int n, bool first) {
    Bytes out;
    switch (rep) {
      case 10: {
        put16(out, xa.s1);
        put16(out, xa.s2);
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(qvxa_frames(n)) * QVXA_FRAMEBYTES);
        qvxa_encode(in, out.data() + at, n, &xa);
        if (out.size() & 1) out.push_back(0);
        break;
      }
      case 8:
        for (int i = 0; i < n; ++i) put16(out, in[i]);
        break;
      case 9:
        for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(in[i] >> 8));
        break;
      case 4: {
        out.push_back(first ? 1 : 0);
        Bytes bits(static_cast<size_t>(parlet_maxbytes(n)));
        PARLET_BITWRITER w{bits.data(), bits.size(), 0, 0, 0, false};
        if (first) parlet_encode_start(&pl, &w);
        Pcm frame(PARLET_FRAME);
        for (int f = 0; f < n; f += PARLET_FRAME) {
          std::fill(frame.begin(), frame.end(), 0);
          std::copy(in + f, in + std::min(n, f + PARLET_FRAME), frame.begin());
          parlet_encode_frame(&pl, frame.data(), &w);
        }
        parlet_flush(&w);
        out.insert(out.end(), bits.begin(), bits.begin() + static_cast<long>(w.size));
        break;
      }
      default:
        out.resize(static_cast<size_t>(n), 0);
    }
    return out;
  }
};

Bytes data_chunk(int32_t count, const std::vector<Bytes>& chans) {
  Bytes body;
  put32(body, static_cast<uint32_t>(count));
  uint32_t off = 0;
  for (const Bytes& c : chans) put32(body, off), off += static_cast<uint32_t>(c.size());
  for (const Bytes& c : chans) body.insert(body.end(), c.begin(), c.end());
  Bytes out;
  chunk(out, "SCDl", body);
  return out;
}

Bytes stream(const Sound& s) {
  const size_t frames = s.channels.empty() ? 0 : s.channels[0].size();
  Bytes out;
  chunk(out, "SCHl", header_body(s, frames));
  Bytes count;
  put32(count, 0);
  chunk(out, "SCCl", count);
  std::vector<ChannelCoder> coders(s.channels.size());
  for (size_t at = 0; at < frames; at += static_cast<size_t>(s.perchunk)) {
    const int n = static_cast<int>(std::min(frames - at, static_cast<size_t>(s.perchunk)));
    std::vector<Bytes> chans;
    for (size_t c = 0; c < s.channels.size(); ++c)
      chans.push_back(coders[c].encode(s.rep, s.channels[c].data() + at, n, at == 0));
    const Bytes d = data_chunk(n, chans);
    out.insert(out.end(), d.begin(), d.end());
  }
  chunk(out, "SCEl", {});
  return out;
}

// A sound with some life in it: two partials under a slow swell.
Pcm tone(size_t n, double f1 = 330, double f2 = 1210, int rate = 22050, double amp = 9000) {
  Pcm out(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double env = 0.6 + 0.4 * std::sin(2 * M_PI * 1.7 * t);
    out[i] =
        static_cast<int16_t>(amp * env * (std::sin(2 * M_PI * f1 * t) + 0.4 * std::sin(2 * M_PI * f2 * t)));
  }
  return out;
}

// The float decoder of a mono QV-XA stream's data chunks, re-seeded from each chunk's history.
std::vector<float> float_decode(const Bytes& image) {
  static constexpr float w1[4] = {0, 0.9375f, 1.796875f, 1.53125f};
  static constexpr float w2[4] = {0, 0, -0.8125f, -0.859375f};
  std::vector<float> out;
  for (size_t p = 0; p + 8 <= image.size();) {
    const uint32_t size = image[p + 4] | image[p + 5] << 8 | image[p + 6] << 16 | image[p + 7] << 24;
    if (std::memcmp(&image[p], "SCDl", 4) == 0) {
      const int32_t n = static_cast<int32_t>(image[p + 8] | image[p + 9] << 8 | image[p + 10] << 16);
      const uint8_t* d = &image[p + 16];
      float y1 = static_cast<int16_t>(d[0] | d[1] << 8), y2 = static_cast<int16_t>(d[2] | d[3] << 8);
      d += 4;
      for (int32_t i = 0; i < n; ++i) {
        const uint8_t* f = d + (i / 28) * 15;
        const int nib = (i % 28) & 1 ? f[1 + (i % 28) / 2] & 15 : f[1 + (i % 28) / 2] >> 4;
        const float y = static_cast<float>(nib >= 8 ? nib - 16 : nib) * std::ldexp(1.0f, 12 - (f[0] & 15)) +
                        w1[f[0] >> 4] * y1 + w2[f[0] >> 4] * y2;
        y2 = y1, y1 = y;
        out.push_back(y);
      }
    }
    p += size;
  }
  return out;
}

// The engine's linear resampler at a fixed step from the first input sample.
std::vector<float> resample(const std::vector<float>& in, int32_t step) {
  std::vector<float> out;
  for (int64_t rel = 0; (rel >> 16) + 1 < static_cast<int64_t>(in.size()); rel += step) {
    const size_t i = static_cast<size_t>(rel >> 16);
    const float t = static_cast<float>(rel & 0xFFFF) * 0.000015258f;
    out.push_back(in[i] + (in[i + 1] - in[i]) * t);
  }
  return out;
}

// SNR in dB of `got` against `want` after the best gain, over samples from..n-1.
double snr(const std::vector<float>& want, const std::function<float(size_t)>& got, size_t n,
           size_t from = 0) {
  double wg = 0, ww = 0;
  for (size_t i = from; i < n; ++i) wg += want[i] * got(i), ww += double{want[i]} * want[i];
  const double gain = wg / ww;
  double sig = 0, err = 0;
  for (size_t i = from; i < n; ++i) {
    const double e = got(i) - gain * want[i];
    sig += gain * want[i] * gain * want[i];
    err += e * e;
  }
  return 10 * std::log10(sig / std::max(err, 1e-9));
}

// The best SNR of channel `ch` of interleaved stereo output against `want`, aligned near the
// output's first sound; the gain ramp of a voice's first 32 frames is left out.
double aligned_snr(const std::vector<float>& want, const std::vector<int16_t>& pcm, int ch, size_t n) {
  const size_t frames = pcm.size() / 2;
  size_t onset = 0;
  while (onset < frames && pcm[2 * onset] == 0 && pcm[2 * onset + 1] == 0) ++onset;
  double best = -100;
  for (int lag = -64; lag <= 64; ++lag) {
    const auto start = static_cast<int64_t>(onset) + lag;
    if (start < 0 || static_cast<size_t>(start) + n > frames) continue;
    const auto at = [&](size_t i) {
      return static_cast<float>(pcm[2 * (static_cast<size_t>(start) + i) + ch]);
    };
    best = std::max(best, snr(want, at, n, 64));
  }
  return best;
}

TEST(AudioStreamHeader, TagsDefaultsAndRefusals) {
  struct Case {
    const char* what;
    Bytes tags;
    int rc;
    int32_t rate, channels, rep, reverb, playflags, datablocks;
    uint16_t dir1;
  };
  const Bytes none;
  const Case cases[] = {
      {"defaults", {}, 0, 22050, 1, 10, 0, 0, 0, 0},
      {"values",
       {0x84, 3, 0x00, 0xAC, 0x44, 0x82, 1, 2, 0xA0, 1, 4, 0x13, 1, 0x40, 0x9D, 2, 0x10, 0x00},
       0,
       44100,
       2,
       4,
       64,
       0,
       0,
       0x1000},
      // one byte 0xC0 is -64; flag bits 0, 1, 6 and 7 map to 1, 2, 0x40, 0x20
      {"flag bits", {0xA1, 1, 0xC3}, 0, 22050, 1, 10, 0, 0x63, 0, 0},
      {"0x8C wins", {0xA1, 1, 0xC3, 0x8C, 1, 0x05}, 0, 22050, 1, 10, 0, 5, 0, 0},
      {"data blocks",
       {0x14, 5, 1, 2, 3, 4, 5, 0xFC, 0x98, 0xFF, 0, 0, 0, 6, 1, 2, 3, 4, 5, 6},
       0,
       22050,
       1,
       10,
       0,
       0,
       2,
       0},
      {"no channels", {0x82, 0}, AUDIOSTREAM_ECORRUPT, 22050, 0, 10, 0, 0, 0, 0},
      {"five channels", {0x82, 1, 5}, AUDIOSTREAM_ECORRUPT, 22050, 5, 10, 0, 0, 0, 0},
      {"rate 0", {0x84, 0}, AUDIOSTREAM_ECORRUPT, 0, 1, 10, 0, 0, 0, 0},
      {"negative rate", {0x84, 1, 0x80}, AUDIOSTREAM_ECORRUPT, -128, 1, 10, 0, 0, 0, 0},
      {"value past the end", {0x84, 4, 0, 0}, AUDIOSTREAM_ECORRUPT, 22050, 1, 10, 0, 0, 0, 0},
      {"huge block length",
       {0x14, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF},
       AUDIOSTREAM_ECORRUPT,
       22050,
       1,
       10,
       0,
       0,
       0,
       0},
  };
  for (const Case& k : cases) {
    Bytes body{'P', 'T', 0, 0};
    body.insert(body.end(), k.tags.begin(), k.tags.end());
    if (k.rc == 0 || k.channels != 1 || k.rate != 22050) body.push_back(0xFF);
    Bytes c;
    chunk(c, "SCHl", body);
    AUDIOSTREAMHEADER h;
    EXPECT_EQ(AUDIOSTREAM_parseheader(c.data(), c.size(), &h), k.rc) << k.what;
    EXPECT_EQ(h.rate, k.rate) << k.what;
    EXPECT_EQ(h.channels, k.channels) << k.what;
    EXPECT_EQ(h.rep, k.rep) << k.what;
    EXPECT_EQ(h.reverb, k.reverb) << k.what;
    EXPECT_EQ(h.playflags, k.playflags) << k.what;
    EXPECT_EQ(h.datablocks, k.datablocks) << k.what;
    EXPECT_EQ(h.direction[1], k.dir1) << k.what;
  }
  // Not a header at all, and a header whose end tag is missing.
  const Bytes riff{'R', 'I', 'F', 'F', 16, 0, 0, 0, 'W', 'A', 'V', 'E', 0, 0, 0, 0};
  AUDIOSTREAMHEADER h;
  EXPECT_EQ(AUDIOSTREAM_parseheader(riff.data(), riff.size(), &h), AUDIOSTREAM_ECORRUPT);
  Bytes open;
  chunk(open, "SCHl", {'P', 'T', 0, 0, 0x06, 1, 101});
  EXPECT_EQ(AUDIOSTREAM_parseheader(open.data(), open.size(), &h), AUDIOSTREAM_ECORRUPT);
  EXPECT_EQ(AUDIOSTREAM_parseheader(open.data(), 10, &h), AUDIOSTREAM_ECORRUPT);
  for (int rep = -1; rep < 20; ++rep)
    EXPECT_EQ(AUDIOSTREAM_hassource(rep), rep == 4 || rep == 7 || rep == 8 || rep == 9 || rep == 10) << rep;
}

// A player on an engine without a device: the test runs the service and mixes by hand.
class Player : public enginetest::Offline {
 protected:
  void SetUp() override {
    Offline::SetUp();
    AUDIOSTREAM_defaults(&params);
    params.send = 0;
    player = make();
    ASSERT_GE(player, 0);
  }
  void TearDown() override {
    for (int p = 0; p < AUDIOSTREAM_MAXPLAYERS; ++p) AUDIOSTREAM_destroy(p);
    Offline::TearDown();
  }
  int make(int items = 2, int buffers = 15) {
    auto& m = memory.emplace_back(static_cast<size_t>(AUDIOSTREAM_memsize(items, buffers) + 32768));
    return AUDIOSTREAM_create(&params, items, buffers, m.data(), static_cast<int32_t>(m.size()));
  }
  int queue(const Bytes& image, int prebuffer = 0) {
    return AUDIOSTREAM_playmem(player, prebuffer, images.emplace_back(image).data());
  }
  AUDIOSTREAMSTATUS status(int item, int expect_rc = 0) {
    AUDIOSTREAMSTATUS s;
    EXPECT_EQ(AUDIOSTREAM_status(item, &s), expect_rc);
    return s;
  }
  // One service pass and one block of output, appended to `out`.
  void step(int frames = 256) {
    AUDIOSTREAM_service();
    const std::vector<int16_t> o = render(frames);
    out.insert(out.end(), o.begin(), o.end());
  }
  // Steps until `done` holds; false after `limit` steps.
  bool until(const std::function<bool()>& done, int limit = 2000) {
    for (int i = 0; i < limit; ++i) {
      if (done()) return true;
      step();
    }
    return done();
  }
  // The engine's playing sounds (their master entries).
  std::vector<const eng::Voice*> sounds() {
    std::vector<const eng::Voice*> v;
    for (int i = 0; i < eng::g.nvoices; ++i)
      if (eng::g.voices[i].state == 1 && eng::g.voices[i].handle >= 0) v.push_back(&eng::g.voices[i]);
    return v;
  }
  AUDIOSTREAMPARAMS params;
  int player = -1;
  std::deque<std::vector<uint8_t>> memory;
  std::deque<Bytes> images;
  std::vector<int16_t> out;
  FaultCatcher faults;
};

TEST_F(Player, CreateAndHandlesRefused) {
  std::vector<uint8_t> small(100);
  EXPECT_EQ(AUDIOSTREAM_create(&params, 2, 15, small.data(), 100), AUDIOSTREAM_ERR);
  for (int i = 1; i < AUDIOSTREAM_MAXPLAYERS; ++i) EXPECT_EQ(make(1, 4), i);
  EXPECT_EQ(make(1, 4), AUDIOSTREAM_ENOFREE);
  EXPECT_EQ(AUDIOSTREAM_destroy(16), AUDIOSTREAM_EHANDLE);
  EXPECT_EQ(AUDIOSTREAM_stop(-1), AUDIOSTREAM_EHANDLE);
  EXPECT_EQ(AUDIOSTREAM_setvolume(3, 100), 0);
  // A handle whose player index is above 15: -8 and a zeroed result.
  AUDIOSTREAMSTATUS s;
  std::memset(&s, 0xA5, sizeof s);
  EXPECT_EQ(AUDIOSTREAM_status(0x100 | 16, &s), AUDIOSTREAM_EHANDLE);
  EXPECT_EQ(s.state, 0);
  EXPECT_EQ(s.position, 0);
  EXPECT_EQ(s.remaining, 0);
  EXPECT_EQ(s.buffered, 0);
  // Never queued: no longer known.
  EXPECT_EQ(status(0x7700 | player).state, 3);
  // Two items fit, a third is refused.
  const Bytes img = stream(Sound{9, 22050, {Pcm(100, 256)}});
  EXPECT_GT(queue(img), 0);
  EXPECT_GT(queue(img), 0);
  EXPECT_EQ(queue(img), AUDIOSTREAM_EITEMS);
  AUDIO_shutdown();
  EXPECT_EQ(AUDIOSTREAM_stop(player), AUDIOSTREAM_ENOTRUNNING);
  EXPECT_EQ(AUDIOSTREAM_status(0x100, &s), AUDIOSTREAM_ENOTRUNNING);
}

// Each representation's source against the samples it was made from, mono and stereo; the
// status counts up to the total and the item then ends.
TEST_F(Player, SourcesPlayEachRepresentation) {
  struct Case {
    int rep;
    int perchunk;
    double minsnr;
  };
  const Case cases[] = {{8, 1000, 80}, {9, 1000, 30}, {10, 1484, 20}, {4, 432 * 3, 3}};
  for (const Case& k : cases) {
    const Pcm left = tone(6000), right = tone(6000, 500, 2000);
    out.clear();
    const int item = queue(stream(Sound{k.rep, 22050, {left, right}, k.perchunk}));
    ASSERT_GT(item, 0);
    ASSERT_TRUE(until([&] { return status(item).state == 2; })) << k.rep;
    const AUDIOSTREAMSTATUS st = status(item);
    EXPECT_NEAR(st.remaining + st.position, 6000 * 1000 / 22050, 1) << k.rep;
    ASSERT_TRUE(until([&] { return status(item).state == 3; })) << k.rep;
    // A stereo sound on a stereo output: its channels stay apart, left first.
    const std::vector<float> wl(left.begin(), left.end()), wr(right.begin(), right.end());
    EXPECT_GT(aligned_snr(wl, out, 0, 5900), k.minsnr) << k.rep;
    EXPECT_GT(aligned_snr(wr, out, 1, 5900), k.minsnr) << k.rep;
    EXPECT_LT(aligned_snr(wl, out, 1, 5900), 1) << k.rep;
    EXPECT_TRUE(faults.messages().empty()) << k.rep;
  }
}

// The header's per-channel direction offsets turn each channel: half a turn swaps the sides.
TEST_F(Player, ChannelDirectionsFromTheHeader) {
  const Pcm left = tone(4000), right = tone(4000, 500, 2000);
  Sound s{8, 22050, {left, right}, 1000};
  s.extratags = {0x9C, 2, 0x80, 0x00, 0x9D, 2, 0x80, 0x00};
  const int item = queue(stream(s));
  ASSERT_TRUE(until([&] { return status(item).state == 3; }));
  const std::vector<float> wl(left.begin(), left.end()), wr(right.begin(), right.end());
  EXPECT_GT(aligned_snr(wr, out, 0, 3900), 60);
  EXPECT_GT(aligned_snr(wl, out, 1, 3900), 60);
}

TEST_F(Player, ParletStreamMatchesTheCodec) {
  // Quiet enough that the decoder's 16-bit limiting never cuts the reference.
  const Pcm speech = tone(432 * 20, 180, 900, 22050, 3000);
  const int item = queue(stream(Sound{4, 22050, {speech}, 432 * 3}));
  ASSERT_TRUE(until([&] { return status(item).state == 3; }));
  const Pcm want16 = parlet_test::roundtrip(speech);
  const std::vector<float> want(want16.begin(), want16.end());
  EXPECT_GT(aligned_snr(want, out, 0, want.size() - 8), 40);
}

TEST_F(Player, ZeroSampleHeaderEndsAtFirstConsumption) {
  Sound s{8, 22050, {tone(3000)}};
  s.total = 0;
  const int item = queue(stream(s));
  step();
  step();
  EXPECT_EQ(status(item).state, 3);
}

TEST_F(Player, HeaderAndEndOnlyWaitsUntilStopped) {
  Bytes img;
  chunk(img, "SCHl", header_body(Sound{10, 22050, {Pcm{}}}, 0));
  chunk(img, "SCEl", {});
  const int item = queue(img);
  for (int i = 0; i < 50; ++i) step();
  EXPECT_EQ(status(item).state, 0);
  EXPECT_EQ(AUDIOSTREAM_stop(player), 0);
  EXPECT_EQ(status(item).state, 3);
}

TEST_F(Player, SameFormatFilesFollowOnOneVoiceWithoutAGap) {
  // A constant level makes any gap a run of zeros.
  const Bytes img = stream(Sound{8, 22050, {Pcm(4000, 8000)}, 1000});
  const int first = queue(img), second = queue(img);
  ASSERT_TRUE(until([&] { return status(first).state == 2; }));
  ASSERT_TRUE(until([&] { return status(second).state == 1; }));
  ASSERT_EQ(sounds().size(), 1u);
  const int32_t voice = sounds()[0]->handle;
  ASSERT_TRUE(until([&] { return status(first).state == 3; }));
  EXPECT_EQ(status(second).state, 2);
  ASSERT_TRUE(until([&] { return status(second).state == 3; }));
  ASSERT_EQ(sounds().size(), 1u);
  EXPECT_EQ(sounds()[0]->handle, voice);
  size_t a = 0, b = out.size() / 2;
  while (out[2 * a] == 0) ++a;
  while (out[2 * (b - 1)] == 0) --b;
  EXPECT_EQ(b - a, 8000u);
  for (size_t i = a + 64; i < b; ++i) ASSERT_NE(out[2 * i], 0) << i;
}

TEST_F(Player, RateChangeWaitsForTheDrain) {
  const int first = queue(stream(Sound{8, 22050, {Pcm(6000, 8000)}, 1000}));
  const int second = queue(stream(Sound{8, 11025, {Pcm(3000, 8000)}, 1000}));
  ASSERT_TRUE(until([&] { return status(first).state == 2; }));
  // While the first sound still has samples waiting, no data of the second reaches a voice.
  while (status(first).state == 2) {
    ASSERT_EQ(status(second).state, 0);
    ASSERT_EQ(sounds().size(), 1u);
    EXPECT_EQ(sounds()[0]->rate, 22050);
    step();
  }
  ASSERT_TRUE(until([&] { return status(second).state == 2; }));
  ASSERT_EQ(sounds().size(), 1u);
  EXPECT_EQ(sounds()[0]->rate, 11025);
  ASSERT_TRUE(until([&] { return status(second).state == 3; }));
}

// Chunks given back through a stream of the test's own: none is kept, none given back twice.
TEST_F(Player, EveryChunkGivenBackOnceIncludingEmptyData) {
  std::vector<uint8_t> mem(STREAM_memsize(4, 1, 1) + 0x8000);
  STREAM* tap = STREAM_create(4, 1, 1, mem.data(), mem.size());
  ASSERT_NE(tap, nullptr);
  auto& m = memory.emplace_back(static_cast<size_t>(AUDIOSTREAM_memsize(2, 15)));
  const int shared = AUDIOSTREAM_createshared(&params, 2, 15, m.data(), static_cast<int32_t>(m.size()), tap);
  ASSERT_GE(shared, 0);
  Bytes img = stream(Sound{8, 22050, {tone(3000)}, 1000});
  // A data chunk of 0 samples after the count chunk.
  const Bytes empty = data_chunk(0, {Bytes(8, 0x55)});
  const size_t after_count = img[4] + (img[5] << 8) + 12;
  img.insert(img.begin() + static_cast<long>(after_count), empty.begin(), empty.end());
  const int item = AUDIOSTREAM_playmem(shared, 0, img.data());
  ASSERT_GT(item, 0);
  ASSERT_TRUE(until([&] { return status(item).state == 3; }));
  EXPECT_EQ(STREAM_bufferusage(tap), 0);
  EXPECT_TRUE(faults.messages().empty());
  EXPECT_EQ(AUDIOSTREAM_destroy(shared), 0);
  STREAM_destroy(tap);
}

// Input that cannot be played ends its item with a code that says why, and the player plays
// the next file; nothing waits for ever.
TEST_F(Player, BadInputEndsTheItem) {
  const Bytes good = stream(Sound{8, 22050, {tone(2000)}, 1000});
  auto with_header_tags = [&](Bytes tags) {
    Sound s{8, 22050, {tone(2000)}, 1000};
    s.extratags = std::move(tags);
    return stream(s);
  };
  const size_t first_data = good[4] + 12;
  Bytes invalid = good;  // a chunk size below 8 where the first data chunk starts
  invalid[first_data + 4] = 4,
                       invalid[first_data + 5] = invalid[first_data + 6] = invalid[first_data + 7] = 0;
  Bytes lying = good;  // a data chunk claiming far more samples than it holds
  lying[first_data + 10] = 0x40;
  Bytes truncated(good.begin(), good.begin() + static_cast<long>(first_data + 500));
  Bytes riff{'R', 'I', 'F', 'F', 12, 0, 0, 0, 'W', 'A', 'V', 'E'};
  Sound layer1{14, 22050, {tone(1000)}, 1000};
  struct Case {
    const char* what;
    Bytes image;
    bool tobuffer;  // a memory image ends at its end chunk: cut ones are played from a file
    int code;
  };
  const Case cases[] = {
      {"invalid chunk", invalid, false, AUDIOSTREAM_ECORRUPT},
      {"lying sample count", lying, false, AUDIOSTREAM_ECORRUPT},
      {"no channels", with_header_tags({0x82, 0}), false, AUDIOSTREAM_ECORRUPT},
      {"five channels", with_header_tags({0x82, 1, 5}), false, AUDIOSTREAM_ECORRUPT},
      {"rate 0", with_header_tags({0x84, 0}), false, AUDIOSTREAM_ECORRUPT},
      {"no source", stream(layer1), false, AUDIOSTREAM_EUNSUPPORTED},
      {"truncated", truncated, true, AUDIOSTREAM_ECORRUPT},
      {"not a stream", riff, true, AUDIOSTREAM_ECORRUPT},
  };
  FILESYS_init(8, 0, 16);
  const std::string path = ::testing::TempDir() + "audiostream_bad_" + std::to_string(getpid());
  for (const Case& k : cases) {
    int item;
    if (k.tobuffer) {
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(k.image.data()), static_cast<std::streamsize>(k.image.size()));
      item = AUDIOSTREAM_playfile(player, 0, path.c_str(), 0);
    } else {
      item = queue(k.image);
    }
    ASSERT_GT(item, 0) << k.what;
    const int next = queue(good);
    AUDIOSTREAMSTATUS s;
    ASSERT_TRUE(until([&] {
      std::this_thread::yield();  // file reads complete on the file system's thread
      return AUDIOSTREAM_status(item, &s) != 0 || s.state == 3;
    })) << k.what;
    EXPECT_EQ(AUDIOSTREAM_status(item, &s), k.code) << k.what;
    EXPECT_EQ(s.state, 3) << k.what;
    if (k.code == AUDIOSTREAM_EUNSUPPORTED) {
      AUDIOSTREAMHEADER h;
      EXPECT_EQ(AUDIOSTREAM_parseheader(k.image.data(), k.image.size(), &h), 0);
      EXPECT_EQ(h.rep, 14);
    }
    // An invalid chunk stops the whole data stream: the file behind it ends with it.
    if (k.image == invalid) {
      EXPECT_EQ(status(next, AUDIOSTREAM_ECORRUPT).state, 3) << k.what;
    } else {
      ASSERT_TRUE(until([&] { return status(next).state == 3; })) << k.what;
    }
    AUDIOSTREAM_stop(player);
    // The player plays on after the bad file.
    const int again = queue(good);
    ASSERT_TRUE(until([&] { return status(again).state == 2; })) << k.what;
    AUDIOSTREAM_stop(player);
  }
  std::remove(path.c_str());
  FILESYS_shutdown();
}

// A file read through the file system from an offset. Its pre-buffer time is longer than the
// sound, so playback waits until the stream has read it all and no pass can starve the voice.
TEST_F(Player, FilePlaysFromItsOffset) {
  FILESYS_init(8, 0, 16);
  const std::string path = ::testing::TempDir() + "audiostream_file_" + std::to_string(getpid());
  Bytes file(100, 0xEE);
  const Pcm pcm = tone(20000);
  const Bytes img = stream(Sound{10, 22050, {pcm}});
  file.insert(file.end(), img.begin(), img.end());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  const int item = AUDIOSTREAM_playfile(player, 5000, path.c_str(), 100);
  ASSERT_GT(item, 0);
  ASSERT_TRUE(until(
      [&] {
        std::this_thread::yield();
        return status(item).state == 3;
      },
      20000));
  const std::vector<float> want(pcm.begin(), pcm.end());
  EXPECT_GT(aligned_snr(want, out, 0, pcm.size() - 64), 20);
  std::remove(path.c_str());
  FILESYS_shutdown();
}

TEST_F(Player, PrebufferHoldsAndStopReleases) {
  const int held = queue(stream(Sound{8, 22050, {tone(2000)}}), -1);
  for (int i = 0; i < 20; ++i) step();
  EXPECT_EQ(status(held).state, 0);
  EXPECT_EQ(AUDIOSTREAM_stop(player), 0);
  // Enough data in the ring: the pre-buffer time is met at once.
  const int item = queue(stream(Sound{8, 22050, {tone(4000)}}), 50);
  ASSERT_TRUE(until([&] { return status(item).state == 2; }, 3));
}

// What the engine really plays through SDL2's disk driver, the player run by the engine's stream
// service task: the float decode of the file, resampled from 16 kHz.
TEST(AudioStreamDevice, DiskDriverMatchesTheFloatDecode) {
  const std::string path = ::testing::TempDir() + "audiostream_disk_" + std::to_string(getpid()) + ".raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
  enginetest::configure(22050, 0, 2);
  std::vector<uint8_t> arena(enginetest::kArena);
  ASSERT_EQ(AUDIO_init(arena.data(), enginetest::kArena), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const Bytes image = stream(Sound{10, 16000, {tone(16000, 330, 1210, 16000)}, 1076});
  AUDIOSTREAMPARAMS params;
  AUDIOSTREAM_defaults(&params);
  params.send = 0;
  std::vector<uint8_t> mem(static_cast<size_t>(AUDIOSTREAM_memsize(2, 15) + 32768));
  const int player = AUDIOSTREAM_create(&params, 2, 15, mem.data(), static_cast<int32_t>(mem.size()));
  ASSERT_GE(player, 0);
  const int item = AUDIOSTREAM_playmem(player, 0, image.data());
  ASSERT_GT(item, 0);
  AUDIOSTREAMSTATUS s{};
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (AUDIOSTREAM_status(item, &s) == 0 && s.state != 3 && std::chrono::steady_clock::now() < until) {
    eng::engine_streamservice(nullptr, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(s.state, 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the device's lead
  EXPECT_EQ(AUDIOSTREAM_destroy(player), 0);
  ASSERT_GE(AUDIO_shutdown(), 0);

  std::ifstream in(path, std::ios::binary);
  std::vector<int16_t> pcm;
  for (int16_t v; in.read(reinterpret_cast<char*>(&v), 2);) pcm.push_back(v);
  // A step of 4096 x 16 x 16000 / 22050.
  const std::vector<float> want = resample(float_decode(image), 47554);
  for (int ch = 0; ch < 2; ++ch) EXPECT_GT(aligned_snr(want, pcm, ch, want.size()), 60) << ch;
}

}  // namespace
