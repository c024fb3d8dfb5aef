// Two decoders on one Ogg Vorbis stream: the second, started by oggvorbis_plan_split after the
// headers at a page near the middle, must give exactly the samples of one decoder over the whole
// stream, at every split point, for mono, stereo and six-channel streams at several qualities;
// the planner refuses a split it cannot make exact (a chained stream past its first link).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quillon/codecs/mpegdec_test_util.h"
#include "quillon/codecs/oggvorbis.h"
#include "quillon/runtime/gfile.h"

namespace {

namespace fs = std::filesystem;
using mpegdec_test::make_signal;
using mpegdec_test::read_file;
using mpegdec_test::write_wav;

bool have_oggenc() { return std::system("command -v oggenc >/dev/null 2>&1") == 0; }

fs::path scratch() {
  const fs::path dir = fs::temp_directory_path() / ("oggsplit-" + std::to_string(getpid()));
  fs::create_directories(dir);
  return dir;
}

std::vector<uint8_t> oggenc_stream(int rate, int channels, double seconds, const std::string& quality) {
  const fs::path dir = scratch(), wav = dir / "in.wav", ogg = dir / "out.ogg";
  if (!write_wav(wav, make_signal(rate, channels, seconds), rate, channels)) return {};
  const std::string cmd = "oggenc -Q -q " + quality + " '" + wav.string() + "' -o '" + ogg.string() + "'";
  if (std::system(cmd.c_str()) != 0) return {};
  return read_file(ogg);
}

struct Decoded {
  int result = 0;
  std::vector<int16_t> left, right;
};

Decoded decode(const std::vector<uint8_t>& data, const OGGVORBIS_SPLIT* split, int32_t first, int32_t count) {
  Decoded d;
  d.left.assign(static_cast<size_t>(first) + count, 0x5555);
  d.right = d.left;
  int16_t* buffers[2] = {d.left.data(), d.right.data()};
  const char* message = nullptr;
  d.result = oggvorbis_decode_memory(data.data(), static_cast<int32_t>(data.size()), split, first, count, 2,
                                     buffers, nullptr, &message);
  return d;
}

// The length of the stream as the scan finds it.
int64_t length_of(const std::vector<uint8_t>& data) {
  const fs::path path = scratch() / "len.ogg";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
  gfile* f = gopen(path.string().c_str());
  OGGVORBIS_FACTS facts{};
  const char* message = nullptr;
  const int ok = f ? oggvorbis_scan(f, &facts, &message) : 0;
  if (f) gclose(f);
  return ok ? facts.samples : -1;
}

struct StreamCase {
  const char* name;
  int rate, channels;
  double seconds;
  const char* quality;
  bool splits;  // a stream of one audio page has no split
};

class OggSplit : public testing::TestWithParam<StreamCase> {};

TEST_P(OggSplit, EverySplitGivesTheSamplesOfOneDecoder) {
  if (!have_oggenc()) GTEST_SKIP() << "needs oggenc";
  const StreamCase& c = GetParam();
  const std::vector<uint8_t> data = oggenc_stream(c.rate, c.channels, c.seconds, c.quality);
  ASSERT_FALSE(data.empty());
  const int64_t total = length_of(data);
  ASSERT_GT(total, 0);
  const auto count = static_cast<int32_t>(total);
  const Decoded whole = decode(data, nullptr, 0, count);
  ASSERT_EQ(whole.result, 1);
  int used = 0;
  for (int64_t at = 1; at < total; at += 997 + at / 7) {
    OGGVORBIS_SPLIT split;
    if (!oggvorbis_plan_split(data.data(), static_cast<int32_t>(data.size()), at, &split)) continue;
    EXPECT_GE(split.sample, at);
    // Reads from the start and from inside the stream, both across the split.
    for (const int32_t first : {int32_t{0}, static_cast<int32_t>(std::min<int64_t>(split.sample - 1, 333))}) {
      const Decoded two = decode(data, &split, first, count - first);
      if (split.sample > first) {
        EXPECT_EQ(two.result, 2) << "split at " << at << " was not used";
      }
      ASSERT_EQ(two.left.size(), whole.left.size());
      for (size_t i = static_cast<size_t>(first); i < two.left.size(); ++i) {
        if (two.left[i] != whole.left[i] || two.right[i] != whole.right[i]) {
          ADD_FAILURE() << "split at " << at << " (sample " << split.sample << "), read from " << first
                        << ": differs at " << i;
          break;
        }
      }
    }
    ++used;
  }
  EXPECT_EQ(used > 0, c.splits) << used << " splits planned";
}

INSTANTIATE_TEST_SUITE_P(Streams, OggSplit,
                         testing::Values(StreamCase{"stereo_q0", 44100, 2, 4.0, "0", true},
                                         StreamCase{"stereo_q5", 44100, 2, 4.0, "5", true},
                                         StreamCase{"stereo_q10", 44100, 2, 3.0, "10", true},
                                         StreamCase{"mono_low", 22050, 1, 12.0, "-1", true},
                                         StreamCase{"six", 48000, 6, 2.0, "3", true},
                                         StreamCase{"short", 44100, 2, 0.3, "4", false}),
                         [](const testing::TestParamInfo<StreamCase>& i) { return std::string(i.param.name); });

// Two streams one after the other are one sound: a split inside the first link carries the
// second decoder through the chain, and no split is planned past the first link's end.
TEST(OggSplitChain, SplitsInTheFirstLinkOnly) {
  if (!have_oggenc()) GTEST_SKIP() << "needs oggenc";
  std::vector<uint8_t> data = oggenc_stream(44100, 2, 3.0, "4");
  const std::vector<uint8_t> link = oggenc_stream(44100, 1, 2.0, "2");
  ASSERT_FALSE(data.empty());
  ASSERT_FALSE(link.empty());
  const int64_t firstlink = length_of(data);
  data.insert(data.end(), link.begin(), link.end());
  const int64_t total = length_of(data);
  ASSERT_GT(total, firstlink);
  const Decoded whole = decode(data, nullptr, 0, static_cast<int32_t>(total));
  ASSERT_EQ(whole.result, 1);
  int used = 0;
  for (int64_t at = 1; at < total; at += 4001) {
    OGGVORBIS_SPLIT split;
    if (!oggvorbis_plan_split(data.data(), static_cast<int32_t>(data.size()), at, &split)) continue;
    EXPECT_LT(split.sample, firstlink);
    const Decoded two = decode(data, &split, 0, static_cast<int32_t>(total));
    EXPECT_EQ(two.result, 2);
    EXPECT_TRUE(two.left == whole.left && two.right == whole.right) << "split at " << at;
    ++used;
  }
  EXPECT_GT(used, 0);
}

}  // namespace
