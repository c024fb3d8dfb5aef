// Parlet sample data in SND streams: 432-sample chunks, the start byte of each channel and the
// decoder carried from chunk to chunk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quillon/codecs/parlet_test_util.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"

namespace {

using Bytes = std::vector<uint8_t>;

enum { kPc = 9, kMac = 16, kPs2 = 20 };

std::string tempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/sndstream_parlet_test_" + std::to_string(getpid()) +
         name;
}

struct Case {
  const char* name;
  int format;
  int channels;
  int rate;
  int n;
};

class ParletStream : public ::testing::TestWithParam<Case> {};

TEST_P(ParletStream, ChunksOfWholeFramesReadBackAsOneRun) {
  const Case& c = GetParam();
  SINFO* info = AUREX_newsinfo();
  STIMBRE& t = info->timbres[0];
  t.samplerep = SREP_PL_BLK;
  t.numchannels = static_cast<int8_t>(c.channels);
  t.samplerate = c.rate;
  t.numsamples = c.n;
  ASSERT_EQ(AUREX_allocsamples(&t), 0);
  std::vector<std::vector<int16_t>> in(static_cast<size_t>(c.channels));
  for (int ch = 0; ch < c.channels; ++ch) {
    for (int i = 0; i < c.n; ++i) {
      t.samples[ch][i] = static_cast<int16_t>(9000 * std::sin(i * 0.05 * (ch + 1)) * std::sin(i * 0.0007));
    }
    in[static_cast<size_t>(ch)].assign(t.samples[ch], t.samples[ch] + c.n);
  }

  const std::string path = tempPath(".asf");
  gfile* f = gwopen(path.c_str());
  SINSTANCE* inst = nullptr;
  ASSERT_GT(AUREX_create(f, &inst, c.format), 0);
  ASSERT_EQ(AUREX_write(inst, info, 0), 1) << AUREX_lasterror();
  AUREX_wclose(inst);
  gclose(f);
  AUREX_freesinfo(info);

  std::ifstream file(path, std::ios::binary);
  const Bytes b((std::istreambuf_iterator<char>(file)), {});
  const bool big = c.format == kMac;
  auto word = [&](size_t at) { return big ? ggetbe(&b[at], 4) : ggetle(&b[at], 4); };
  int data = 0;
  for (size_t pos = 0; pos + 8 <= b.size();) {
    const uint32_t size = ggetle(&b[pos + 4], 4);
    ASSERT_GE(size, 8u);
    if (std::string(b.begin() + pos, b.begin() + pos + 4) == "SCDl") {
      const uint32_t frames = word(pos + 8);
      if (pos + size < b.size() - 8) {
        EXPECT_EQ(frames % 432, 0u);  // all but the last
      }
      const size_t table = pos + 12, body = table + 4 * c.channels;
      for (int ch = 0; ch < c.channels; ++ch) EXPECT_EQ(b[body + word(table + 4 * ch)], data == 0 ? 1 : 0);
      ++data;
    }
    pos += size;
  }
  EXPECT_GT(data, 1);

  gfile* r = gopen(path.c_str());
  SINFO* back = nullptr;
  ASSERT_GT(AUREX_open(r, &inst, c.format), 0);
  ASSERT_EQ(AUREX_info(inst, &back, 0), 1);
  ASSERT_EQ(AUREX_read(inst, back, 0), 1) << AUREX_lasterror();
  AUREX_close(inst);
  gclose(r);
  std::remove(path.c_str());
  EXPECT_EQ(back->timbres[0].samplerep, SREP_PL_BLK);
  for (int ch = 0; ch < c.channels; ++ch) {
    const std::vector<int16_t> got(back->timbres[0].samples[ch], back->timbres[0].samples[ch] + c.n);
    EXPECT_EQ(got, parlet_test::roundtrip(in[static_cast<size_t>(ch)])) << ch;
  }
  AUREX_freesinfo(back);
}

INSTANTIATE_TEST_SUITE_P(All, ParletStream,
                         ::testing::Values(Case{"pc_mono", kPc, 1, 22050, 6000},
                                           Case{"pc_quad", kPc, 4, 11025, 3000},
                                           Case{"mac_stereo", kMac, 2, 22050, 5000},
                                           Case{"ps2_stereo", kPs2, 2, 16000, 4400}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
