// The MPEG representations in the sample engines: frame walking and decoding on import, the
// encoder on export, and the memory exporter's size.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quillon/codecs/mpegdec.h"
#include "quillon/codecs/mpegenc.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"
#include "quillon/soundcore/samples.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

std::string temppath(const char* name) {
  return (fs::temp_directory_path() / ("samples_mpeg_" + std::to_string(getpid()) + "_" + name)).string();
}

void spill(const std::string& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes slurp(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<int16_t> tone(int n, double step) {
  std::vector<int16_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i)
    v[i] = static_cast<int16_t>(9000 * std::sin(i * step) + 3000 * std::sin(i * step * 7.3));
  return v;
}

// A stream from our encoder with different music in the two channels.
Bytes encodestream(int layer, int rate, int kbps, int channels, int samples) {
  const auto left = tone(samples, 0.031), right = tone(samples, 0.057);
  const int16_t* chans[2] = {left.data(), right.data()};
  Bytes out;
  const mpegenc_sink sink{mpegenc_vectorwrite, &out};
  EXPECT_EQ(mpegenc_encode(layer, rate, kbps * 1000, channels, chans, samples, &sink, nullptr, nullptr), 1);
  return out;
}

// Interleaved PCM of the whole stream, straight from the decoder.
std::vector<int16_t> decodeall(const Bytes& data, int channels) {
  MpegDecoder* dec = mpegdec_create();
  std::vector<int16_t> pcm;
  if (mpegdec_open(dec, data.data(), data.size()) == 0) {
    int16_t piece[1152 * 2];
    for (size_t n; (n = mpegdec_read(dec, piece, 1152 * 2 * channels)) > 0;)
      pcm.insert(pcm.end(), piece, piece + n / 2);
  }
  mpegdec_close(dec);
  mpegdec_destroy(dec);
  return pcm;
}

struct States {
  AUREX_COMPSTATE* s[AUREX_NUMCOMPSTATES] = {};
  States() { AUREX_alloccompstates(s); }
  ~States() { AUREX_freecompstates(s); }
};

std::vector<int> progress;
void onprogress(int percent) {
  progress.push_back(percent);
}

// Any range of samples, from a stream that sits behind other bytes, equals the same range of the
// whole decode; nothing outside the range is touched.
TEST(MpegImport, RangesEqualTheWholeDecode) {
  const int frames = 1152 * 10;
  const Bytes stream = encodestream(2, 44100, 128, 2, frames);
  Bytes file = stream;
  file.insert(file.begin(), 100, 0x55);
  const std::string p = temppath("range.mp2");
  spill(p, file);
  const std::vector<int16_t> whole = decodeall(stream, 2);
  ASSERT_EQ(whole.size(), 2u * frames);

  struct Range {
    int32_t first, count;
  } ranges[] = {{0, frames}, {1000, 500}, {1151, 2}, {frames - 1, 1}, {384 * 7, 384}};
  gfile* f = gopen(p.c_str());
  ASSERT_NE(f, nullptr);
  for (const Range& r : ranges) {
    SCOPED_TRACE(r.first);
    std::vector<int16_t> left(frames + 2, 7777), right(frames + 2, 7777);
    int16_t* buffers[4] = {left.data() + 1, right.data() + 1, nullptr, nullptr};
    const int32_t positions[4] = {100};
    States st;
    progress.clear();
    AUREX_setprogress(onprogress);
    ASSERT_EQ(isimportsamples(f, positions, 0, r.first, r.count, 2, SREP_LAYER2, st.s, buffers), 1);
    AUREX_setprogress(nullptr);
    for (int32_t i = -1; i <= frames; ++i) {
      const bool inside = i >= r.first && i < r.first + r.count;
      ASSERT_EQ(left[i + 1], inside ? whole[2 * i] : 7777) << i;
      ASSERT_EQ(right[i + 1], inside ? whole[2 * i + 1] : 7777) << i;
    }
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 100);
    for (size_t k = 1; k < progress.size(); ++k) EXPECT_LE(progress[k - 1], progress[k]);
  }
  // More samples than the frames hold: refused before anything is read or allocated for them.
  std::vector<int16_t> buf(frames + 1);
  int16_t* buffers[4] = {buf.data(), buf.data(), nullptr, nullptr};
  const int32_t positions[4] = {100};
  EXPECT_EQ(isimportsamples(f, positions, 0, 0, frames + 1, 2, SREP_LAYER2, nullptr, buffers), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Couldn't read MPEG samples.");
  // The start frame on disk is for uncompressed data only.
  EXPECT_EQ(isimportsamples(f, positions, 5, 0, 1, 2, SREP_LAYER2, nullptr, buffers), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Unsupported sample representation for computing startframedisk.");
  gclose(f);
  std::remove(p.c_str());
}

// Reads long enough to be decoded by two decoders at once give the whole decode's samples in any
// range and channel layout, with progress rising to 100 on the calling thread.
TEST(MpegImport, LongReadsEqualTheWholeDecode) {
  struct Case {
    int layer, rate, kbps, streamchannels, wanted;
    int32_t first, count;
  } cases[] = {
      {2, 44100, 192, 2, 2, 0, 1152 * 60},       {2, 44100, 192, 2, 2, 1151, 1152 * 40 + 3},
      {2, 44100, 192, 2, 1, 5000, 1152 * 50},    {1, 32000, 192, 1, 2, 383, 384 * 150},
      {2, 22050, 96, 2, 2, 1152 * 3, 1152 * 57},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "layer " << c.layer << " first " << c.first);
    const int n = 1152 * 60;
    const Bytes stream = encodestream(c.layer, c.rate, c.kbps, c.streamchannels, n);
    const std::vector<int16_t> whole = decodeall(stream, c.streamchannels);
    ASSERT_GE(whole.size(), static_cast<size_t>(n) * c.streamchannels);
    const std::string p = temppath("long.mpg");
    spill(p, stream);
    gfile* f = gopen(p.c_str());
    ASSERT_NE(f, nullptr);
    std::vector<int16_t> a(n + 1, 7777), b(n + 1, 7777);
    int16_t* buffers[4] = {a.data(), b.data(), nullptr, nullptr};
    const int32_t positions[4] = {};
    progress.clear();
    AUREX_setprogress(onprogress);
    ASSERT_EQ(isimportsamples(f, positions, 0, c.first, c.count, c.wanted,
                              c.layer == 1 ? SREP_LAYER1 : SREP_LAYER2, nullptr, buffers),
              1);
    AUREX_setprogress(nullptr);
    gclose(f);
    std::remove(p.c_str());
    for (int32_t i = 0; i <= n; ++i) {
      const bool inside = i >= c.first && i < c.first + c.count;
      const int16_t left = inside ? whole[static_cast<size_t>(i) * c.streamchannels] : 7777;
      ASSERT_EQ(a[i], left) << i;
      if (c.wanted == 2) {
        const int16_t right =
            inside ? whole[static_cast<size_t>(i) * c.streamchannels + c.streamchannels - 1] : 7777;
        ASSERT_EQ(b[i], right) << i;
      }
    }
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 100);
    for (size_t k = 1; k < progress.size(); ++k) EXPECT_LE(progress[k - 1], progress[k]);
  }
}

// A stereo stream read as one channel gives the left channel; a mono stream read as two repeats it.
TEST(MpegImport, ChannelLayouts) {
  struct Case {
    int streamchannels, wanted;
  } cases[] = {{2, 1}, {1, 2}, {1, 1}};
  for (const Case& c : cases) {
    const int n = 384 * 9;
    const Bytes stream = encodestream(1, 32000, 192, c.streamchannels, n);
    const std::vector<int16_t> whole = decodeall(stream, c.streamchannels);
    const std::string p = temppath("layout.mp1");
    spill(p, stream);
    gfile* f = gopen(p.c_str());
    std::vector<int16_t> a(n), b(n);
    int16_t* buffers[4] = {a.data(), b.data(), nullptr, nullptr};
    const int32_t positions[4] = {};
    ASSERT_EQ(isimportsamples(f, positions, 0, 0, n, c.wanted, SREP_LAYER1, nullptr, buffers), 1);
    gclose(f);
    std::remove(p.c_str());
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(a[i], whole[static_cast<size_t>(i) * c.streamchannels]) << i;
      if (c.wanted == 2) {
        ASSERT_EQ(b[i], a[i]) << i;
      }
    }
  }
}

struct Sound {
  std::vector<int16_t> left, right;
  STIMBRE t{};
  Sound(int rep, int rate, int bitrate, int channels, int n) : left(tone(n, 0.02)), right(tone(n, 0.05)) {
    AUREX_initsound(&t);
    t.samplerep = static_cast<int8_t>(rep);
    t.samplerate = rate;
    t.bitrate = bitrate;
    t.numchannels = static_cast<int8_t>(channels);
    t.numsamples = n;
    t.samples[0] = left.data();
    t.samples[1] = right.data();
  }
};

// The memory exporter's size holds every accepted setting, even for a sound shorter than a frame,
// and memory and file exports give the same bytes, exactly the encoder's stream size.
TEST(MpegExport, MemoryAndFileAgreeAndTheEstimateHolds) {
  struct Case {
    int rep, rate, bitrate, channels;
  } cases[] = {
      {SREP_LAYER2, 44100, 128000, 2}, {SREP_LAYER2, 32000, 384000, 2}, {SREP_LAYER2, 16000, 160000, 1},
      {SREP_LAYER1, 32000, 448000, 2}, {SREP_LAYER1, 16000, 256000, 1}, {SREP_LAYER1, 48000, 64000, 1},
  };
  for (const Case& c : cases) {
    for (int n : {1, 383, 385, 1153, 5000}) {
      SCOPED_TRACE(std::to_string(c.rate) + " " + std::to_string(c.bitrate) + " " + std::to_string(n));
      Sound snd(c.rep, c.rate, c.bitrate, c.channels, n);
      const mpegenc_params params{c.rep == SREP_LAYER1 ? 1 : 2, MPEGENC_VERSION_AUTO, c.rate, c.bitrate,
                                  c.channels};
      const int64_t exact = mpegenc_streambytes(&params, n);
      ASSERT_GT(exact, 0);
      EXPECT_GE(AUREX_estimatesize(n, c.rep, c.channels), exact);
      States a, b;
      uint8_t* mem = nullptr;
      ASSERT_EQ(ismemexportsamples(&mem, n, 0, a.s, nullptr, &snd.t), exact) << AUREX_lasterror();
      const std::string p = temppath("export.mp2");
      gfile* w = gwopen(p.c_str());
      ASSERT_EQ(isexportsamples(w, nullptr, 0, n, 0, b.s, nullptr, &snd.t), 1);
      gclose(w);
      EXPECT_EQ(slurp(p), Bytes(mem, mem + exact));
      gfree(mem);
      std::remove(p.c_str());
    }
  }
}

// Settings the encoder refuses: its message, and not a byte in the sink.
TEST(MpegExport, RefusedSettingsWriteNothing) {
  struct Case {
    int rep, rate, bitrate, channels;
    const char* message;
  } cases[] = {
      {SREP_LAYER2, 11025, 128000, 2, "Invalid sample rate for MPEG."},
      {SREP_LAYER2, 44100, 130000, 2, "Invalid bitrate for MPEG type."},
      {SREP_LAYER1, 22050, 448000, 1, "Invalid bitrate for MPEG type."},
      {SREP_LAYER3, 44100, 128000, 2, "Unsupported sample format in isexportsamples."},
  };
  for (const Case& c : cases) {
    Sound snd(c.rep, c.rate, c.bitrate, c.channels, 3000);
    const std::string p = temppath("refused.mp2");
    gfile* w = gwopen(p.c_str());
    EXPECT_EQ(isexportsamples(w, nullptr, 0, 3000, 0, nullptr, nullptr, &snd.t), 0);
    EXPECT_STREQ(AUREX_lasterror(), c.message);
    gclose(w);
    EXPECT_TRUE(slurp(p).empty());
    std::remove(p.c_str());
    uint8_t* mem = nullptr;
    EXPECT_EQ(ismemexportsamples(&mem, 3000, 0, nullptr, nullptr, &snd.t), 0);
    EXPECT_EQ(mem, nullptr);
  }
}

}  // namespace
