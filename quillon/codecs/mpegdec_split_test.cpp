// Two decoders on one stream: a second decoder started by mpegdec_plan_split's warm-up must give,
// from the split on, exactly the samples of one decoder over the whole stream, at every split point
// and for every kind of stream (CBR, VBR, a reservoir used to its limit, the lower sampling rates,
// Layers 1 and 2), and the planner must refuse streams whose frames change kind before the split.
// The reads by channel that the sound core uses give the interleaved read's samples.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "quillon/codecs/mpegdec.h"
#include "quillon/codecs/mpegdec_test_util.h"
#include "quillon/codecs/mpegenc.h"

namespace {

using namespace mpegdec_test;
namespace fs = std::filesystem;

// What a decoder opened at `offset` delivers, all of it.
std::vector<int16_t> decode_from(const std::vector<uint8_t>& data, size_t offset) {
  std::vector<int16_t> pcm;
  MpegDecoder* dec = mpegdec_create();
  if (mpegdec_open_at(dec, data.data(), data.size(), offset) == 0) {
    int16_t piece[1000];
    for (size_t n; (n = mpegdec_read(dec, piece, sizeof piece)) > 0;)
      pcm.insert(pcm.end(), piece, piece + n / 2);
  }
  mpegdec_destroy(dec);
  return pcm;
}

// main_data_begin of an MPEG-1 or MPEG-2 Layer 3 frame without CRC.
int main_data_begin(const std::vector<uint8_t>& d, size_t off, bool mpeg1) {
  return mpeg1 ? (d[off + 4] << 1) | (d[off + 5] >> 7) : d[off + 4];
}

std::vector<uint8_t> lame_stream(const fs::path& dir, const std::string& args, int rate, int channels) {
  const fs::path wav = dir / "in.wav", mp3 = dir / "out.mp3";
  if (!write_wav(wav, make_signal(rate, channels, 3.0), rate, channels)) return {};
  const std::string cmd = "lame --quiet -t " + args + " '" + wav.string() + "' '" + mp3.string() + "'";
  if (std::system(cmd.c_str()) != 0) return {};
  return read_file(mp3);
}

std::vector<uint8_t> our_stream(int layer, int rate, int kbps, int channels) {
  const std::vector<int16_t> pcm = make_signal(rate, channels, 3.0);
  const size_t n = pcm.size() / channels;
  std::vector<int16_t> planes[2];
  const int16_t* chans[2] = {};
  for (int c = 0; c < channels; ++c) {
    for (size_t i = 0; i < n; ++i) planes[c].push_back(pcm[i * channels + c]);
    chans[c] = planes[c].data();
  }
  std::vector<uint8_t> out;
  const mpegenc_sink sink{mpegenc_vectorwrite, &out};
  if (mpegenc_encode(layer, rate, kbps * 1000, channels, chans, static_cast<int32_t>(n), &sink, nullptr,
                     nullptr) != 1)
    out.clear();
  return out;
}

class MpegSplitDecode : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mpegdec_split_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

// Splits at 60 points spread over the stream (and at the first frames) and compares. Returns how
// many of those splits a decoder started at the split frame itself, without warm-up, gets wrong.
int check_splits(const std::vector<uint8_t>& data, int channels) {
  const std::vector<int16_t> whole = decode_all(data);
  const int64_t total = static_cast<int64_t>(whole.size()) / channels;
  std::vector<MpegHeader> headers;
  const std::vector<size_t> offs = frame_offsets(data, 0, &headers);
  std::vector<int64_t> points = {1, 383, 384, 385, 1152, 1153, 2 * 1152 + 7};
  for (int i = 1; i <= 60; ++i) points.push_back(total * i / 61 + i % 7);
  int naive_wrong = 0;
  for (const int64_t at : points) {
    SCOPED_TRACE("split at sample " + std::to_string(at));
    MpegSplit split;
    EXPECT_TRUE(mpegdec_plan_split(data.data(), data.size(), at, &split));
    EXPECT_GE(split.first_sample, at);
    EXPECT_GE(split.warmup, 0);
    const std::vector<int16_t> pcm = decode_from(data, split.start);
    const auto skip = static_cast<size_t>(split.warmup * channels);
    const auto from = static_cast<size_t>(split.first_sample * channels);
    EXPECT_EQ(pcm.size() - skip, whole.size() - from);
    EXPECT_TRUE(std::equal(pcm.begin() + static_cast<std::ptrdiff_t>(skip), pcm.end(),
                           whole.begin() + static_cast<std::ptrdiff_t>(from)));
    // The same split without warm-up, to show the warm-up is what makes it exact.
    size_t at_frame = 0;
    for (int64_t i = 0, s = 0; s < split.first_sample; s += headers[i++].samples_per_frame)
      at_frame = offs[i + 1];
    const std::vector<int16_t> naive = decode_from(data, at_frame);
    if (!std::equal(naive.begin(), naive.end(), whole.begin() + static_cast<std::ptrdiff_t>(from)))
      ++naive_wrong;
  }
  return naive_wrong;
}

TEST_F(MpegSplitDecode, SecondDecoderMatchesOneDecoderFromTheSplitOn) {
  if (!have_tool("lame")) GTEST_SKIP() << "lame is not installed";
  struct Case {
    const char* name;
    std::string lame;  // empty: our Layer 1/2 encoder
    int layer, rate, kbps, channels;
    bool fills_reservoir;  // main_data_begin comes near its 511-byte limit
  } cases[] = {
      {"cbr 128", "-b 128", 3, 44100, 128, 2, false},
      {"vbr -V2", "-V2", 3, 44100, 0, 2, false},
      {"cbr 64 full reservoir", "-b 64 --resample 44.1", 3, 44100, 64, 2, true},
      {"mono 32 full reservoir", "-b 32 -m m --resample 44.1", 3, 44100, 32, 1, true},
      {"mpeg-2 22050", "-b 64 --resample 22.05", 3, 22050, 64, 2, false},
      {"mpeg-2 16000 mono", "-b 24 -m m --resample 16", 3, 16000, 24, 1, false},
      {"layer 2", "", 2, 44100, 192, 2, false},
      {"layer 1 mono", "", 1, 32000, 128, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> data = c.lame.empty() ? our_stream(c.layer, c.rate, c.kbps, c.channels)
                                                     : lame_stream(dir_, c.lame, c.rate, c.channels);
    ASSERT_FALSE(data.empty());
    if (c.fills_reservoir) {
      int most = 0;
      for (size_t off : frame_offsets(data, 0)) most = std::max(most, main_data_begin(data, off, true));
      EXPECT_GE(most, 450) << "the stream does not come near the reservoir's limit";
    }
    const int naive_wrong = check_splits(data, c.channels);
    if (c.layer == 3) {
      EXPECT_GT(naive_wrong, 0) << "no split needed the warm-up";
    }
  }
}

// A stream whose frames change layer or channel count: the planner refuses splits past the change
// (the decoder state carried over it would differ), and a split before it stays exact through it.
TEST_F(MpegSplitDecode, FramesThatChangeKindLimitTheSplit) {
  if (!have_tool("lame")) GTEST_SKIP() << "lame is not installed";
  const std::vector<uint8_t> mp3 = lame_stream(dir_, "-b 128", 44100, 2);
  struct Case {
    const char* name;
    std::vector<uint8_t> second;
  } cases[] = {{"layer 3 then layer 2", our_stream(2, 44100, 192, 2)},
               {"stereo then mono", lame_stream(dir_, "-b 64 -m m", 44100, 1)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> data = mp3;
    data.insert(data.end(), c.second.begin(), c.second.end());
    const std::vector<int16_t> whole = decode_all(data);
    const int64_t change = static_cast<int64_t>(frame_offsets(mp3, 0).size()) * 1152;
    MpegSplit split;
    EXPECT_FALSE(mpegdec_plan_split(data.data(), data.size(), change + 1, &split));
    ASSERT_TRUE(mpegdec_plan_split(data.data(), data.size(), change - 3000, &split));
    const std::vector<int16_t> pcm = decode_from(data, split.start);
    EXPECT_TRUE(
        std::equal(pcm.begin() + split.warmup * 2, pcm.end(), whole.begin() + split.first_sample * 2));
    EXPECT_EQ(pcm.size() - split.warmup * 2, whole.size() - split.first_sample * 2);
  }
  MpegSplit split;
  const std::vector<uint8_t> cut(mp3.begin(), mp3.begin() + 5000);
  EXPECT_FALSE(mpegdec_plan_split(cut.data(), cut.size(), 1152 * 20, &split)) << "split after the end";
  EXPECT_FALSE(mpegdec_plan_split(mp3.data(), mp3.size(), 0, &split)) << "nothing before the split";
  EXPECT_FALSE(mpegdec_plan_split(nullptr, 0, 1, &split));
}

// Reads by channel in pieces that ignore frames give the interleaved samples of the whole decode:
// a stereo stream, a mono stream read as three channels (the extra ones repeat it), and a stream
// that changes from stereo to mono frames (the right channel repeats the left).
TEST_F(MpegSplitDecode, ReadsByChannelGiveTheInterleavedSamples) {
  if (!have_tool("lame")) GTEST_SKIP() << "lame is not installed";
  std::vector<uint8_t> changing = lame_stream(dir_, "-b 128", 44100, 2);
  const std::vector<uint8_t> mono = lame_stream(dir_, "-b 64 -m m", 44100, 1);
  changing.insert(changing.end(), mono.begin(), mono.end());
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    int channels;  // the stream's
    int wanted;
  } cases[] = {{"stereo", our_stream(2, 44100, 192, 2), 2, 2},
               {"mono as three", mono, 1, 3},
               {"stereo then mono", changing, 2, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<int16_t> whole = decode_all(c.data);
    const size_t total = whole.size() / c.channels;
    std::vector<std::vector<int16_t>> planes(c.wanted, std::vector<int16_t>(total + 1, 7777));
    MpegDecoder* dec = mpegdec_create();
    ASSERT_EQ(mpegdec_open(dec, c.data.data(), c.data.size()), 0);
    const size_t pieces[] = {1, 383, 1152, 7, 4000};
    size_t done = 0;
    for (size_t i = 0;; ++i) {
      int16_t* out[3];
      for (int ch = 0; ch < c.wanted; ++ch) out[ch] = planes[ch].data() + done;
      const size_t want = std::min(pieces[i % std::size(pieces)], total + 1 - done);
      const size_t got = mpegdec_read_planar(dec, out, c.wanted, want);
      done += got;
      if (got < want) break;
    }
    mpegdec_destroy(dec);
    ASSERT_EQ(done, total);
    for (size_t k = 0; k < total; ++k)
      for (int ch = 0; ch < c.wanted; ++ch)
        ASSERT_EQ(planes[ch][k], whole[k * c.channels + std::min(ch, c.channels - 1)]) << k << " " << ch;
  }
}

}  // namespace
