// Parlet sample data: the exporter's layout, reading in pieces and chunks, and short data.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "quillon/codecs/parlet_test_util.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"
#include "quillon/soundcore/samples.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<int16_t> voiced(int n, int seed) {
  std::vector<int16_t> s(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double env = 0.6 + 0.4 * std::sin(i * 0.002 * seed);
    s[static_cast<size_t>(i)] =
        static_cast<int16_t>(env * (7000 * std::sin(i * 0.06 * seed) + 3000 * std::sin(i * 0.31) +
                                    1500 * std::sin(i * 0.9 + seed)));
  }
  return s;
}

struct Sound {
  STIMBRE t{};
  std::vector<std::vector<int16_t>> ch;
  explicit Sound(std::vector<std::vector<int16_t>> channels) : ch(std::move(channels)) {
    AUREX_initsound(&t);
    t.samplerep = SREP_PL_BLK;
    t.numchannels = static_cast<int8_t>(ch.size());
    t.numsamples = static_cast<int32_t>(ch[0].size());
    t.samplerate = 22050;
    for (size_t c = 0; c < ch.size(); ++c) t.samples[c] = ch[c].data();
  }
};

struct States {
  AUREX_COMPSTATE* s[4] = {};
  States() { EXPECT_EQ(AUREX_alloccompstates(s), 1); }
  ~States() { AUREX_freecompstates(s); }
};

Bytes exportMem(const Sound& snd, int flags, AUREX_COMPSTATE** states, int32_t* offsets, int32_t first,
                int32_t count) {
  Bytes out(static_cast<size_t>(AUREX_estimatesize(count, SREP_PL_BLK, snd.t.numchannels)));
  const int32_t n = isexportsamplesto(out.data(), static_cast<int32_t>(out.size()), first, count, flags,
                                      states, offsets, &snd.t);
  EXPECT_GT(n, 0) << AUREX_lasterror();
  out.resize(static_cast<size_t>(std::max(n, 0)));
  return out;
}

struct TempFile {
  std::string path;
  gfile* f = nullptr;
  explicit TempFile(const Bytes& bytes) {
    const char* dir = std::getenv("TMPDIR");
    path = std::string(dir && *dir ? dir : "/tmp") + "/samples_parlet_test_" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    f = gopen(path.c_str());
  }
  ~TempFile() {
    if (f) gclose(f);
    std::remove(path.c_str());
  }
};

TEST(ParletExport, StartByteHeaderOffsetsAndFinalZero) {
  const int32_t n = 1000;  // two whole frames and a padded third
  Sound snd({voiced(n, 2), voiced(n, 3)});
  States st;
  int32_t off[4] = {};
  const Bytes first = exportMem(snd, AUREX_EXPORT_CHANNELPREFIX, st.s, off, 0, 864);
  ASSERT_GT(off[1], 2);
  for (int c = 0; c < 2; ++c) {
    EXPECT_EQ(first[static_cast<size_t>(off[c])], 1) << c;
    // The header's first five bits: half-rate mode, then t = 8.
    EXPECT_EQ(first[static_cast<size_t>(off[c]) + 1] & 0x1F, 0x11) << c;
  }
  EXPECT_EQ(first.back(), 0);
  const Bytes later = exportMem(snd, AUREX_EXPORT_CHANNELPREFIX, st.s, off, 864, n - 864);
  EXPECT_EQ(later[0], 0);
  EXPECT_EQ(later[static_cast<size_t>(off[1])], 0);
  // Without the flag there is no start byte: the header comes first.
  States fresh;
  const Bytes plain = exportMem(snd, 0, fresh.s, off, 0, n);
  EXPECT_EQ(off[0], 0);
  EXPECT_EQ(plain[0] & 0x1F, 0x11);
  EXPECT_LE(plain.size(), static_cast<size_t>(AUREX_estimatesize(n, SREP_PL_BLK, 2)));
}

TEST(ParletExport, ShortSoundsFitTheMemoryEstimate) {
  for (int32_t n : {1, 100, 431, 433}) {
    Sound snd({voiced(n, 5)});
    States st;
    uint8_t* out = nullptr;
    const int32_t bytes = ismemexportsamples(&out, n, AUREX_EXPORT_CHANNELPREFIX, st.s, nullptr, &snd.t);
    EXPECT_GT(bytes, 0) << n << ": " << AUREX_lasterror();
    if (out) gfree(out);
  }
}

// Exported in stream-sized pieces and read back piece by piece (each at its own position, the
// decoder carried on), a channel gives the same samples as the codec run over it in one go.
TEST(ParletImport, PiecesEqualOneRun) {
  const int32_t n = 432 * 7 + 50;
  Sound snd({voiced(n, 4)});
  States enc, dec;
  Bytes file;
  std::vector<int32_t> starts, counts;
  for (int32_t at = 0; at < n; at += 1728) {
    const int32_t k = std::min<int32_t>(1728, n - at);
    const Bytes b = exportMem(snd, AUREX_EXPORT_CHANNELPREFIX, enc.s, nullptr, at, k);
    starts.push_back(static_cast<int32_t>(file.size()) + 1);  // after the start byte
    counts.push_back(k);
    file.insert(file.end(), b.begin(), b.end());
  }
  TempFile tf(file);
  std::vector<int16_t> got(static_cast<size_t>(n));
  int16_t* bufs[4] = {got.data()};
  int32_t done = 0;
  for (size_t i = 0; i < starts.size(); ++i) {
    int32_t pos[4] = {starts[i]};
    ASSERT_EQ(isimportsamples(tf.f, pos, 0, done, counts[i], 1, SREP_PL_BLK, dec.s, bufs), 1)
        << AUREX_lasterror();
    done += counts[i];
  }
  EXPECT_EQ(got, parlet_test::roundtrip(snd.ch[0]));
}

// Reads that split frames and bytes anywhere give the same samples as one read.
TEST(ParletImport, SplitReadsEqualOneRead) {
  const int32_t n = 432 * 5;
  Sound snd({voiced(n, 6)});
  States enc;
  const Bytes data = exportMem(snd, 0, enc.s, nullptr, 0, n);
  TempFile tf(data);
  std::vector<int16_t> whole(static_cast<size_t>(n));
  {
    States dec;
    int16_t* bufs[4] = {whole.data()};
    int32_t pos[4] = {};
    ASSERT_EQ(isimportsamples(tf.f, pos, 0, 0, n, 1, SREP_PL_BLK, dec.s, bufs), 1) << AUREX_lasterror();
  }
  for (int32_t split : {1, 200, 432, 500, 1299}) {
    States dec;
    std::vector<int16_t> parts(static_cast<size_t>(n));
    int16_t* bufs[4] = {parts.data()};
    int32_t pos[4] = {};
    ASSERT_EQ(gseek(tf.f, 0), 1);
    ASSERT_EQ(isimportsamples(tf.f, pos, 0, 0, split, 1, SREP_PL_BLK, dec.s, bufs), 1);
    gseek(tf.f, 7);  // the second read continues where the first stopped, not at the file position
    ASSERT_EQ(isimportsamples(tf.f, pos, 0, split, n - split, 1, SREP_PL_BLK, dec.s, bufs), 1);
    EXPECT_EQ(parts, whole) << split;
  }
}

TEST(ParletImport, DataCutShortFails) {
  const int32_t n = 432 * 3;
  Sound snd({voiced(n, 7)});
  States enc;
  Bytes data = exportMem(snd, 0, enc.s, nullptr, 0, n);
  data.resize(data.size() / 2);
  TempFile tf(data);
  States dec;
  std::vector<int16_t> got(static_cast<size_t>(n));
  int16_t* bufs[4] = {got.data()};
  int32_t pos[4] = {};
  EXPECT_EQ(isimportsamples(tf.f, pos, 0, 0, n, 1, SREP_PL_BLK, dec.s, bufs), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Couldn't read Parlet-talk samples.");
}

}  // namespace
