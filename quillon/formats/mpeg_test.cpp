#include "quillon/formats/mpeg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "quillon/codecs/mpegdec.h"
#include "quillon/codecs/mpegenc.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

bool havetool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

Bytes slurp(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void spill(const std::string& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A 16-bit WAV of a chord that moves, different in each channel.
void writewav(const std::string& p, int frames, int channels, int rate) {
  Bytes b;
  const auto put = [&b](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  b.insert(b.end(), {'R', 'I', 'F', 'F'});
  put(36 + frames * channels * 2, 4);
  b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  put(16, 4), put(1, 2), put(channels, 2), put(rate, 4), put(rate * channels * 2, 4), put(channels * 2, 2);
  put(16, 2);
  b.insert(b.end(), {'d', 'a', 't', 'a'});
  put(frames * channels * 2, 4);
  for (int i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    for (int c = 0; c < channels; ++c) {
      const double v =
          0.3 * std::sin(2 * M_PI * (220 + 110 * c) * t) + 0.2 * std::sin(2 * M_PI * 660 * t * (1 + t));
      put(static_cast<uint32_t>(static_cast<int16_t>(v * 32767)), 2);
    }
  }
  spill(p, b);
}

class Mpeg : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mpeg_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // Runs a shell command in the test folder; true on success.
  bool sh(const std::string& command) const {
    return std::system(("cd '" + dir_.string() + "' && " + command + " >/dev/null 2>&1").c_str()) == 0;
  }

  // Layer 1 or 2 made by our encoder: `samples` frames of a sine.
  std::string encode(const char* name, int layer, int rate, int kbps, int channels, int samples) const {
    std::vector<int16_t> pcm(static_cast<size_t>(samples));
    for (int i = 0; i < samples; ++i) pcm[i] = static_cast<int16_t>(8000 * std::sin(i * 0.05));
    const int16_t* chans[2] = {pcm.data(), pcm.data()};
    Bytes out;
    const mpegenc_sink sink{mpegenc_vectorwrite, &out};
    const char* msg = nullptr;
    EXPECT_EQ(mpegenc_encode(layer, rate, kbps * 1000, channels, chans, samples, &sink, nullptr, &msg), 1);
    spill(path(name), out);
    return path(name);
  }

  fs::path dir_;
};

// The identified format, and the SINFO read from the file (null when info or read failed).
struct Loaded {
  int format = -1;
  SINFO* info = nullptr;
  ~Loaded() {
    if (info) AUREX_freesinfo(info);
  }
};

void load(const std::string& p, Loaded& l, bool read = true) {
  gfile* f = gopen(p.c_str());
  ASSERT_NE(f, nullptr);
  l.format = AUREX_identify(f);
  SINSTANCE* inst = nullptr;
  if (AUREX_open(f, &inst, AUREX_FORMAT_MPEG) == 1) {
    if (AUREX_info(inst, &l.info, 0) && read && !AUREX_read(inst, l.info, 0)) {
      AUREX_freesinfo(l.info);
      l.info = nullptr;
    }
    AUREX_close(inst);
  }
  gclose(f);
}

TEST(MpegFrames, HeaderTable) {
  struct Case {
    uint32_t header;
    int32_t length;
    MPEG_FRAME frame;
  } cases[] = {
      {0xFFFB9064, 413, {3, 2, 44100, 1152}},   // MPEG-1 Layer 3, 128 kbit/s
      {0xFFFB9264, 414, {3, 2, 44100, 1152}},   // the same with padding
      {0xFFFBE0C4, 1040, {3, 1, 44100, 1152}},  // 320 kbit/s, single channel
      {0xFFF3A044, 309, {3, 2, 22050, 576}},    // MPEG-2 Layer 3, 96 kbit/s (halved)
      {0xFFFDA004, 622, {2, 2, 44100, 1152}},   // MPEG-1 Layer 2, 192 kbit/s
      {0xFFF59004, 518, {2, 2, 22050, 1152}},   // MPEG-2 Layer 2, 80 kbit/s (not halved)
      {0xFFFF9004, 308, {1, 2, 44100, 384}},    // MPEG-1 Layer 1, 288 kbit/s: 78 words
      {0xFFFF9204, 312, {1, 2, 44100, 384}},    // with one padding word
      {0xFFFF14C4, 28, {1, 1, 48000, 384}},     // the shortest frame there is
  };
  for (const Case& c : cases) {
    MPEG_FRAME f{};
    EXPECT_EQ(mpeg_framelength(c.header, &f), c.length) << std::hex << c.header;
    EXPECT_EQ(f.layer, c.frame.layer);
    EXPECT_EQ(f.channels, c.frame.channels);
    EXPECT_EQ(f.samplerate, c.frame.samplerate);
    EXPECT_EQ(f.samples, c.frame.samples);
  }
  // Each refusal differs from the accepted 0xFFFB9064 in one field.
  const uint32_t refused[] = {
      0xFFEB9064,  // MPEG-2.5 sync
      0x7FFB9064,  // sync bit missing
      0xFFF99064,  // layer bits 00
      0xFFFB0064,  // free format
      0xFFFBF064,  // bit-rate index 15
      0xFFFB9C64,  // sampling-rate index 3
  };
  for (uint32_t h : refused) EXPECT_EQ(mpeg_framelength(h, nullptr), 0) << std::hex << h;
}

// Leading ID3v2 tags of several lengths (one across the identify scan's piece boundary, one full of
// false sync words) and a trailing ID3v1 tag leave the stream and its length unchanged.
TEST_F(Mpeg, TagsAndJunkAroundTheStreamAreSkipped) {
  if (!havetool("lame")) GTEST_SKIP() << "lame is not installed";
  writewav(path("in.wav"), 44100, 2, 44100);
  ASSERT_TRUE(sh("lame --quiet -t -b 128 in.wav plain.mp3"));
  const Bytes plain = slurp(path("plain.mp3"));
  Loaded base;
  load(path("plain.mp3"), base);
  ASSERT_NE(base.info, nullptr);
  EXPECT_EQ(base.format, AUREX_FORMAT_MPEG);

  Bytes v1 = {'T', 'A', 'G'};
  v1.resize(128, 'x');
  std::mt19937 rng(7);
  for (size_t taglen : {0u, 1u, 417u, 8190u, 20000u}) {
    for (bool falsesync : {false, true}) {
      Bytes file = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
      for (size_t i = 0; i < taglen; ++i) file.push_back(static_cast<uint8_t>(rng()));
      // False headers that chain a few frames but not seven.
      for (size_t i = 0; falsesync && i + 4 < file.size(); i += 500) {
        const uint8_t h[4] = {0xFF, 0xFB, 0x90, 0x64};
        std::copy(h, h + 4, file.begin() + static_cast<long>(i));
      }
      file.insert(file.end(), plain.begin(), plain.end());
      file.insert(file.end(), v1.begin(), v1.end());
      spill(path("tagged.mp3"), file);
      gfile* f = gopen(path("tagged.mp3").c_str());
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(mpeg_identify(f), 75) << taglen;
      gclose(f);
      Loaded l;
      load(path("tagged.mp3"), l);
      ASSERT_NE(l.info, nullptr) << taglen << " " << falsesync;
      const STIMBRE& a = l.info->timbres[0];
      const STIMBRE& b = base.info->timbres[0];
      ASSERT_EQ(a.numsamples, b.numsamples);
      EXPECT_EQ(0, std::memcmp(a.samples[1], b.samples[1], static_cast<size_t>(a.numsamples) * 2)) << taglen;
    }
  }
}

// Seven chained frames make a stream; six do not, wherever they are.
TEST_F(Mpeg, SevenFramesAreNeeded) {
  // 128 kbit/s at 48 kHz: 384-byte frames without padding.
  const Bytes stream = slurp(encode("l2.mp2", 2, 48000, 128, 2, 1152 * 7));
  ASSERT_EQ(stream.size(), 7u * 384);
  const size_t frame = 384;
  for (int frames : {6, 7}) {
    for (size_t lead : {0u, 3u}) {
      Bytes file(lead, 0x00);
      file.insert(file.end(), stream.begin(), stream.begin() + static_cast<long>(frame * frames));
      spill(path("n.mp2"), file);
      Loaded l;
      load(path("n.mp2"), l);
      if (frames == 7) {
        EXPECT_EQ(l.format, AUREX_FORMAT_MPEG);
        ASSERT_NE(l.info, nullptr);
        EXPECT_EQ(l.info->timbres[0].numsamples, 7 * 1152);
      } else {
        EXPECT_EQ(l.format, -1);
        EXPECT_EQ(l.info, nullptr);
        EXPECT_STREQ(AUREX_lasterror(), "Couldn't find MPEG audio frames in the file.");
      }
    }
  }
}

// Sample counts add up the frames' own lengths; channels, rate and layer come from the stream. The
// read through the import engine equals the decoder's own output on the same bytes.
TEST_F(Mpeg, InfoAndReadMatchTheDecoder) {
  struct Case {
    const char* tool;     // null: our encoder
    const char* command;  // makes "s" from in.wav (rate and channels below)
    int rate, channels, layer, perframe;
  } cases[] = {
      {"lame", "lame --quiet -t -b 128 in.wav s", 44100, 2, 3, 1152},
      {"lame", "lame --quiet -t -V 2 in.wav s", 44100, 2, 3, 1152},  // variable bit rate
      {"lame", "lame --quiet -t -m m -b 64 in.wav s", 22050, 1, 3, 576},
      {"ffmpeg", "ffmpeg -v error -y -i in.wav -f mp2 -c:a mp2 -b:a 192k s", 44100, 2, 2, 1152},
      {"ffmpeg", "ffmpeg -v error -y -i in.wav -f mp2 -c:a mp2 -b:a 64k s", 24000, 1, 2, 1152},
      {nullptr, "1", 48000, 2, 1, 384},
      {nullptr, "1", 32000, 1, 1, 384},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    if (c.tool && !havetool(c.tool)) {
      std::printf("skipped (%s is not installed): %s\n", c.tool, c.command);
      continue;
    }
    const int samples = c.rate / 2 + 123;
    if (c.tool) {
      writewav(path("in.wav"), samples, c.channels, c.rate);
      ASSERT_TRUE(sh(c.command));
    } else {
      encode("s", c.layer, c.rate, 128, c.channels, samples);
    }
    Loaded l;
    load(path("s"), l);
    ASSERT_EQ(l.format, AUREX_FORMAT_MPEG);
    ASSERT_NE(l.info, nullptr) << AUREX_lasterror();
    const STIMBRE& t = l.info->timbres[0];
    EXPECT_EQ(t.numchannels, c.channels);
    EXPECT_EQ(t.samplerate, c.rate);
    EXPECT_EQ(t.samplerep, SREP_LAYER1 + c.layer - 1);
    EXPECT_EQ(t.numsamples % c.perframe, 0);
    EXPECT_GE(t.numsamples, samples);

    const Bytes data = slurp(path("s"));
    MpegDecoder* dec = mpegdec_create();
    ASSERT_EQ(mpegdec_open(dec, data.data(), data.size()), 0);
    std::vector<int16_t> pcm(static_cast<size_t>(t.numsamples) * c.channels + 1);
    const size_t want = static_cast<size_t>(t.numsamples) * c.channels * 2;
    // The decoder yields exactly the counted samples, no more.
    EXPECT_EQ(mpegdec_read(dec, pcm.data(), want + 2), want);
    mpegdec_close(dec);
    mpegdec_destroy(dec);
    bool same = true;
    for (int i = 0; i < t.numsamples && same; ++i)
      for (int ch = 0; ch < c.channels; ++ch) same = same && t.samples[ch][i] == pcm[i * c.channels + ch];
    EXPECT_TRUE(same);
  }
}

TEST_F(Mpeg, WriteEncodesElementZeroOnly) {
  SINFO* info = AUREX_newsinfo();
  ASSERT_NE(info, nullptr);
  STIMBRE& t = info->timbres[0];
  t.numchannels = 2;
  t.samplerate = 44100;
  t.numsamples = 10000;  // more than seven frames of either layer
  t.samplerep = SREP_LAYER2;
  ASSERT_EQ(AUREX_allocsamples(&t), 0);
  for (int i = 0; i < t.numsamples; ++i)
    t.samples[0][i] = t.samples[1][i] = static_cast<int16_t>(9000 * std::sin(i * 0.03));

  struct Case {
    int element, rate, bitrate, rep;
    const char* message;  // null: success
  } cases[] = {
      {0, 44100, 128000, SREP_LAYER2, nullptr},
      {0, 22050, 64000, SREP_LAYER1, nullptr},
      {1, 44100, 128000, SREP_LAYER2, "MPEG files can only contain element 0."},
      {0, 11025, 128000, SREP_LAYER2, "Invalid sample rate for MPEG."},
      {0, 44100, 100000, SREP_LAYER2, "Invalid bitrate for MPEG type."},
      {0, 22050, 384000, SREP_LAYER2, "Invalid bitrate for MPEG type."},  // an MPEG-1 rate only
      {0, 44100, 128000, SREP_LAYER3, "This exporter does not support the sample representation specified."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    t.samplerate = c.rate;
    t.bitrate = c.bitrate;
    t.samplerep = static_cast<int8_t>(c.rep);
    gfile* w = gwopen(path("out.mp2").c_str());
    ASSERT_NE(w, nullptr);
    SINSTANCE* inst = nullptr;
    ASSERT_EQ(AUREX_create(w, &inst, AUREX_FORMAT_MPEG), 1);
    const int ok = AUREX_write(inst, info, c.element);
    AUREX_wclose(inst);
    gclose(w);
    const Bytes file = slurp(path("out.mp2"));
    if (c.message) {
      EXPECT_EQ(ok, 0);
      EXPECT_STREQ(AUREX_lasterror(), c.message);
      EXPECT_TRUE(file.empty());
      continue;
    }
    ASSERT_NE(ok, 0) << AUREX_lasterror();
    const mpegenc_params p{c.rep == SREP_LAYER1 ? 1 : 2, MPEGENC_VERSION_AUTO, c.rate, c.bitrate, 2};
    EXPECT_EQ(static_cast<int64_t>(file.size()), mpegenc_streambytes(&p, t.numsamples));
    Loaded back;
    load(path("out.mp2"), back);
    ASSERT_NE(back.info, nullptr);
    const int perframe = c.rep == SREP_LAYER1 ? 384 : 1152;
    EXPECT_EQ(back.info->timbres[0].numsamples, (t.numsamples + perframe - 1) / perframe * perframe);
    EXPECT_EQ(back.info->timbres[0].samplerep, c.rep);
  }
  AUREX_freesinfo(info);
}

// Damaged streams and hostile bytes: identify, info and read finish with a result or a message.
TEST_F(Mpeg, DamagedInputFailsCleanly) {
  const Bytes good = slurp(encode("g.mp2", 2, 48000, 128, 2, 1152 * 12));  // 384-byte frames
  std::mt19937 rng(11);
  std::vector<Bytes> inputs = {
      {},
      {0xFF, 0xFB, 0x90},
      Bytes(70000, 0xFF),                                // sync bits everywhere, bit-rate index 15
      Bytes(good.begin(), good.begin() + 7 * 384 + 10),  // a cut frame
  };
  // Every frame header and its neighbourhood flipped in turn.
  for (int k = 0; k < 40; ++k) {
    Bytes b = good;
    const size_t at = rng() % b.size();
    b[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
    b[(at + 384) % b.size()] = static_cast<uint8_t>(rng());
    inputs.push_back(b);
  }
  Bytes noise(30000);
  for (auto& v : noise) v = static_cast<uint8_t>(rng());
  inputs.push_back(noise);
  for (const Bytes& in : inputs) {
    spill(path("bad.mp2"), in);
    Loaded l;
    load(path("bad.mp2"), l);
    if (l.format != AUREX_FORMAT_MPEG) {
      EXPECT_EQ(l.info, nullptr);
      continue;
    }
    if (l.info) {
      EXPECT_GT(l.info->timbres[0].numsamples, 0);
      EXPECT_LE(l.info->timbres[0].numsamples, 12 * 1152);
    }
  }
  // A cut last frame does not count: seven whole frames and a part of the eighth.
  spill(path("cut.mp2"), inputs[3]);
  Loaded cut;
  load(path("cut.mp2"), cut);
  ASSERT_NE(cut.info, nullptr);
  EXPECT_EQ(cut.info->timbres[0].numsamples, 7 * 1152);
}

TEST(MpegAbout, Capabilities) {
  SABOUT* a = AUREX_about(AUREX_FORMAT_MPEG);
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a->shortname, "mpeg");
  EXPECT_STREQ(a->longname, "MPEG");
  EXPECT_EQ(std::vector<int>(a->importreps, a->importreps + 4), (std::vector<int>{14, 15, 16, -1}));
  EXPECT_EQ(std::vector<int>(a->exportreps, a->exportreps + 3), (std::vector<int>{14, 15, -1}));
  EXPECT_EQ(a->elementlimit, 1);
  gfree(a);
  EXPECT_TRUE(AUREX_supportssamplerep(AUREX_FORMAT_MPEG, SREP_LAYER2));
  EXPECT_FALSE(AUREX_supportssamplerep(AUREX_FORMAT_MPEG, SREP_LAYER3));
}

}  // namespace
