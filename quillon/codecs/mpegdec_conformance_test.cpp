// Conformance of the MPEG audio decoder against a reference decoder used as a black box: streams
// are made at run time from a synthetic signal with lame (Layer 3), ffmpeg or twolame (Layer 2),
// decoded by mpg123 and by us, and must agree to 80 dB SNR on every synthesis path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "quillon/codecs/mpegdec.h"
#include "quillon/codecs/mpegdec_test_util.h"

namespace {

using namespace mpegdec_test;
namespace fs = std::filesystem;

enum class Check { kNone, kJointMs, kJointLayer2, kShortBlocks, kCrc, kVbr, kId3 };
enum class Encoder { kLame, kFfmpeg, kTwolame };

struct StreamCase {
  const char* name;
  int rate;
  int channels;
  Encoder encoder;
  const char* args;  // encoder options
  int samples_per_frame;
  Check check;
};

const StreamCase kCases[] = {
    {"l3_stereo", 44100, 2, Encoder::kLame, "-b 192 -m s", 1152, Check::kNone},
    {"l3_joint_ms", 44100, 2, Encoder::kLame, "-b 112 -m j", 1152, Check::kJointMs},
    {"l3_mono", 44100, 1, Encoder::kLame, "-b 96 -m m", 1152, Check::kNone},
    {"l3_transients", 48000, 2, Encoder::kLame, "-b 160 -m s", 1152, Check::kShortBlocks},
    {"l3_vbr", 44100, 2, Encoder::kLame, "-V 2", 1152, Check::kVbr},
    {"l3_crc", 32000, 2, Encoder::kLame, "-b 128 -p", 1152, Check::kCrc},
    {"l3_id3_tags", 44100, 2, Encoder::kLame, "-b 128 --add-id3v2 --tt Title --ta Artist --tl Album", 1152,
     Check::kId3},
    {"l3_mpeg2_22050", 22050, 2, Encoder::kLame, "-b 64", 576, Check::kNone},
    {"l3_mpeg2_24000", 24000, 2, Encoder::kLame, "-b 56 -m j", 576, Check::kJointMs},
    {"l3_mpeg2_16000", 16000, 1, Encoder::kLame, "-b 32", 576, Check::kNone},
    {"l2_stereo_32000", 32000, 2, Encoder::kFfmpeg, "-b:a 192k", 1152, Check::kNone},
    {"l2_stereo_44100", 44100, 2, Encoder::kFfmpeg, "-b:a 192k", 1152, Check::kNone},
    {"l2_stereo_48000", 48000, 2, Encoder::kFfmpeg, "-b:a 256k", 1152, Check::kNone},
    {"l2_mono_32000", 32000, 1, Encoder::kFfmpeg, "-b:a 48k", 1152, Check::kNone},
    {"l2_mono_44100", 44100, 1, Encoder::kFfmpeg, "-b:a 48k", 1152, Check::kNone},
    {"l2_mono_48000", 48000, 1, Encoder::kFfmpeg, "-b:a 64k", 1152, Check::kNone},
    {"l2_joint_44100", 44100, 2, Encoder::kTwolame, "-b 128 -m j", 1152, Check::kJointLayer2},
    {"l2_mpeg2_24000", 24000, 2, Encoder::kTwolame, "-b 96 -m s", 1152, Check::kNone},
    {"l2_mpeg2_16000", 16000, 1, Encoder::kTwolame, "-b 48 -m m", 1152, Check::kNone},
};

// Number of MPEG-1 Layer 3 granules (per channel) coded with short blocks, read from the side
// information of the frames at `offsets`.
int short_granules(const std::vector<uint8_t>& data, const std::vector<size_t>& offsets,
                   const std::vector<MpegHeader>& headers) {
  int count = 0;
  for (size_t f = 0; f < offsets.size(); ++f) {
    const MpegHeader& h = headers[f];
    if (!h.mpeg1 || h.layer != 3) continue;
    size_t bit = (offsets[f] + 4 + (h.protection ? 2 : 0)) * 8;
    auto get = [&](int n) {
      uint32_t v = 0;
      for (int i = 0; i < n; ++i, ++bit) v = (v << 1) | ((data[bit / 8] >> (7 - bit % 8)) & 1);
      return v;
    };
    get(9 + (h.channels == 1 ? 5 : 3) + 4 * h.channels);
    for (int gr = 0; gr < 2; ++gr) {
      for (int ch = 0; ch < h.channels; ++ch) {
        get(12 + 9 + 8 + 4);
        if (get(1)) {
          if (get(2) == 2) ++count;
          get(1 + 10 + 9);
        } else {
          get(15 + 7);
        }
        get(3);
      }
    }
  }
  return count;
}

class MpegConformance : public ::testing::TestWithParam<StreamCase> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mpegdec_conf_" + std::to_string(getpid()) + "_" + GetParam().name);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

TEST_P(MpegConformance, MatchesReferenceDecoder) {
  const StreamCase& c = GetParam();
  const char* encoder = c.encoder == Encoder::kLame     ? "lame"
                        : c.encoder == Encoder::kFfmpeg ? "ffmpeg"
                                                        : "twolame";
  if (!have_tool(encoder)) GTEST_SKIP() << encoder << " is not installed";
  if (!have_tool("mpg123")) GTEST_SKIP() << "mpg123 is not installed";

  const fs::path wav = dir_ / "in.wav", stream = dir_ / "stream.bin", ref = dir_ / "ref.raw";
  ASSERT_TRUE(write_wav(wav, make_signal(c.rate, c.channels, 3.0), c.rate, c.channels));
  const std::string in = "'" + wav.string() + "'", out = "'" + stream.string() + "'";
  std::string cmd;
  switch (c.encoder) {
    case Encoder::kLame:
      // -t: no information frame, so that every frame carries audio for both decoders.
      cmd = "lame --quiet -t " + std::string(c.args) + " " + in + " " + out;
      break;
    case Encoder::kFfmpeg:
      cmd = "ffmpeg -nostdin -loglevel error -y -i " + in + " -c:a mp2 " + c.args + " -f mp2 " + out;
      break;
    case Encoder::kTwolame:
      cmd = "twolame --quiet " + std::string(c.args) + " " + in + " " + out;
      break;
  }
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  // Without gapless trimming mpg123 puts out every frame's samples, as we do.
  cmd = "mpg123 -q --no-gapless -s '" + stream.string() + "' > '" + ref.string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;

  const std::vector<uint8_t> data = read_file(stream);
  const std::vector<int16_t> reference = read_pcm(ref);
  ASSERT_FALSE(reference.empty());
  const size_t start = skip_id3v2(data);

  // The stream really has the property the case is about.
  std::vector<MpegHeader> headers;
  const std::vector<size_t> frames = frame_offsets(data, start, &headers);
  ASSERT_GT(frames.size(), 20u);
  switch (c.check) {
    case Check::kJointMs:
      EXPECT_TRUE(std::any_of(headers.begin(), headers.end(),
                              [](const MpegHeader& h) { return h.mode == 1 && (h.mode_extension & 2); }));
      break;
    case Check::kJointLayer2:
      // Some joint stereo frames: every bound (4..16) lies below this table's 27 subbands.
      EXPECT_GE(
          std::count_if(headers.begin(), headers.end(), [](const MpegHeader& h) { return h.mode == 1; }), 5);
      break;
    case Check::kShortBlocks:
      EXPECT_GT(short_granules(data, frames, headers), 10);
      break;
    case Check::kCrc:
      EXPECT_TRUE(headers.front().protection);
      break;
    case Check::kVbr: {
      std::set<int> rates;
      for (const MpegHeader& h : headers) rates.insert(h.bitrate);
      EXPECT_GT(rates.size(), 2u);
      break;
    }
    case Check::kId3:
      EXPECT_GT(start, 0u);
      ASSERT_GE(data.size(), 128u);
      EXPECT_EQ(std::string(data.end() - 128, data.end() - 125), "TAG");
      break;
    case Check::kNone:
      break;
  }

  int channels = 0;
  const std::vector<int16_t> ours = decode_all(data, start, 1 << 16, mpegdec_default_path(), &channels);
  ASSERT_EQ(channels, c.channels);
  EXPECT_EQ(ours.size(), frames.size() * static_cast<size_t>(c.samples_per_frame * c.channels));

  for (MpegSynthPath path : {MpegSynthPath::kPlain, MpegSynthPath::kSse2, MpegSynthPath::kAvx2}) {
    if (!mpegdec_path_supported(path)) continue;
    const std::vector<int16_t> out = decode_all(data, start, 1 << 16, path);
    const Comparison cmp = compare(out, reference, c.channels);
    std::printf("[ mpegdec ] %-16s path %d: SNR %.1f dB, offset %ld, max diff %d over %zu frames\n", c.name,
                static_cast<int>(path), cmp.snr_db, cmp.offset, cmp.max_diff, cmp.compared);
    EXPECT_GE(cmp.snr_db, 80.0) << "path " << static_cast<int>(path);
    EXPECT_GE(cmp.compared + static_cast<size_t>(c.samples_per_frame), reference.size() / c.channels);
    // The SIMD paths are the plain path with another summation order: at most one step apart.
    const Comparison self = compare(out, ours, c.channels, 0);
    EXPECT_LE(self.max_diff, 1) << "path " << static_cast<int>(path);
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, MpegConformance, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

}  // namespace
