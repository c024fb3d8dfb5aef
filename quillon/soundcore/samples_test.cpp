// Sample import and export engines: every PCM representation both ways, QV-XA block and
// interleaved data, the channel prefix, progress reports and the failure messages.
#include "quillon/soundcore/samples.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "quillon/codecs/qvxa.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string tempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/samples_test_" + std::to_string(getpid()) + "_" + name;
}

struct TempFile {
  std::string path;
  gfile* f = nullptr;
  TempFile(const std::string& name, const Bytes& bytes) : path(tempPath(name)) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    f = gopen(path.c_str());
  }
  ~TempFile() {
    if (f) gclose(f);
    std::remove(path.c_str());
  }
};

// A timbre that owns plain vectors as its channel buffers.
struct Sound {
  STIMBRE t{};
  std::vector<std::vector<int16_t>> ch;
  Sound(int rep, std::vector<std::vector<int16_t>> channels) : ch(std::move(channels)) {
    AUREX_initsound(&t);
    t.samplerep = static_cast<int8_t>(rep);
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

Bytes exportMem(const Sound& snd, int flags, AUREX_COMPSTATE** states, int32_t* offsets, int32_t first = 0,
                int32_t count = -1) {
  if (count < 0) count = snd.t.numsamples;
  Bytes out(AUREX_estimatesize(count, snd.t.samplerep, snd.t.numchannels) + 64);
  int32_t n =
      isexportsamplesto(out.data(), int32_t(out.size()), first, count, flags, states, offsets, &snd.t);
  EXPECT_GE(n, 0) << AUREX_lasterror();
  out.resize(n < 0 ? 0 : n);
  return out;
}

std::vector<std::vector<int16_t>> importFile(const Bytes& data, int rep, int channels, int32_t count,
                                             const int32_t* positions = nullptr,
                                             AUREX_COMPSTATE** states = nullptr, int* result = nullptr) {
  TempFile tf("import.bin", data);
  std::vector<std::vector<int16_t>> ch(channels, std::vector<int16_t>(count + 28, 0x5555));
  int16_t* bufs[4] = {};
  for (int c = 0; c < channels; ++c) bufs[c] = ch[c].data();
  int32_t zero[4] = {};
  int r = isimportsamples(tf.f, positions ? positions : zero, 0, 0, count, channels, rep, states, bufs);
  if (result) *result = r;
  for (auto& c : ch) c.resize(count);
  return ch;
}

std::vector<int16_t> music(int n, int seed) {
  std::vector<int16_t> s(n);
  for (int i = 0; i < n; ++i)
    s[i] = int16_t(12000 * std::sin(i * 0.031 * seed) + 5000 * std::sin(i * 0.17 + seed));
  return s;
}

struct PcmCase {
  const char* name;
  int rep;
  Bytes bytes;                            // two channels, two frames
  std::vector<std::vector<int16_t>> pcm;  // what they mean
};

class PcmRep : public ::testing::TestWithParam<PcmCase> {};

TEST_P(PcmRep, ImportAndExportAgree) {
  const PcmCase& c = GetParam();
  auto got = importFile(c.bytes, c.rep, 2, 2);
  EXPECT_EQ(got, c.pcm) << AUREX_lasterror();
  Sound snd(c.rep, c.pcm);
  int32_t offsets[4] = {-1, -1, -1, -1};
  EXPECT_EQ(exportMem(snd, 0, nullptr, offsets), c.bytes);
  const bool block = c.rep == SREP_S16L_BLK || c.rep == SREP_S16B_BLK || c.rep == SREP_S8_BLK;
  if (block) {
    EXPECT_EQ(offsets[1], int32_t(c.bytes.size() / 2));
  }
}

TEST_P(PcmRep, ShortReadReportsItsMessage) {
  const PcmCase& c = GetParam();
  Bytes cut(c.bytes.begin(), c.bytes.end() - 1);
  int result = -1;
  importFile(cut, c.rep, 2, 2, nullptr, nullptr, &result);
  EXPECT_EQ(result, 0);
  const bool wide =
      c.rep == SREP_S16L_INT || c.rep == SREP_S16B_INT || c.rep == SREP_S16L_BLK || c.rep == SREP_S16B_BLK;
  EXPECT_STREQ(AUREX_lasterror(),
               wide ? "Couldn't read 16-bit samples from file." : "Couldn't read 8-bit samples from file.");
}

INSTANTIATE_TEST_SUITE_P(
    All, PcmRep,
    ::testing::Values(PcmCase{"s16l_int",
                              SREP_S16L_INT,
                              {0x01, 0x80, 0xFF, 0x7F, 0x00, 0x00, 0xFE, 0xFF},
                              {{-32767, 0}, {32767, -2}}},
                      PcmCase{"s16b_int",
                              SREP_S16B_INT,
                              {0x80, 0x01, 0x7F, 0xFF, 0x00, 0x00, 0xFF, 0xFE},
                              {{-32767, 0}, {32767, -2}}},
                      PcmCase{"s16l_blk",
                              SREP_S16L_BLK,
                              {0x01, 0x80, 0x00, 0x00, 0xFF, 0x7F, 0xFE, 0xFF},
                              {{-32767, 0}, {32767, -2}}},
                      PcmCase{"s16b_blk",
                              SREP_S16B_BLK,
                              {0x80, 0x01, 0x00, 0x00, 0x7F, 0xFF, 0xFF, 0xFE},
                              {{-32767, 0}, {32767, -2}}},
                      PcmCase{"s8_int", SREP_S8_INT, {0x80, 0x7F, 0x00, 0xFF}, {{-32768, 0}, {32512, -256}}},
                      PcmCase{"s8_blk", SREP_S8_BLK, {0x80, 0x00, 0x7F, 0xFF}, {{-32768, 0}, {32512, -256}}},
                      PcmCase{"u8_int", SREP_U8_INT, {0x00, 0xFF, 0x80, 0x7F}, {{-32768, 0}, {32512, -256}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PcmRep, U8EdgeValues) {
  auto got = importFile({0, 128, 255}, SREP_U8_INT, 1, 3);
  EXPECT_EQ(got[0], (std::vector<int16_t>{-32768, 0, 32512}));
  Sound snd(SREP_U8_INT, {{-32768, 0, 32767}});
  EXPECT_EQ(exportMem(snd, 0, nullptr, nullptr), (Bytes{0, 128, 255}));
}

TEST(PcmRep, Every16BitValueRoundTrips) {
  std::vector<int16_t> all(65536);
  for (int i = 0; i < 65536; ++i) all[i] = int16_t(i - 32768);
  for (int rep : {SREP_S16L_INT, SREP_S16B_INT, SREP_S16L_BLK, SREP_S16B_BLK}) {
    Sound snd(rep, {all});
    Bytes b = exportMem(snd, 0, nullptr, nullptr);
    EXPECT_EQ(importFile(b, rep, 1, 65536)[0], all) << rep;
  }
}

TEST(StartFrame, SkipsWholeFramesOfS16bAndS8) {
  Bytes data(200);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
  TempFile tf("start.bin", data);
  int16_t l[2], r[2];
  int16_t* bufs[4] = {l, r};
  int32_t pos[4] = {};
  ASSERT_EQ(isimportsamples(tf.f, pos, 10, 0, 1, 2, SREP_S16B_INT, nullptr, bufs), 1);
  EXPECT_EQ(l[0], (40 << 8) | 41);  // 10 stereo frames of 4 bytes skipped
  EXPECT_EQ(r[0], (42 << 8) | 43);
  int32_t pos2[4] = {100};
  ASSERT_EQ(isimportsamples(tf.f, pos2, 10, 0, 1, 2, SREP_S8_INT, nullptr, bufs), 1);
  EXPECT_EQ(l[0], 120 * 256);
  EXPECT_EQ(isimportsamples(tf.f, pos, 10, 0, 1, 2, SREP_S16L_INT, nullptr, bufs), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Unsupported sample representation for computing startframedisk.");
}

TEST(QvxaBlockExport, SizesPrefixAndPadding) {
  struct Case {
    int32_t frames;
    int flags;
    int32_t bytes;
  } cases[] = {{29, 0, 30}, {29, 0x40, 34}, {28, 0x40, 20}, {84, 0x40, 50}, {56, 0x40, 34}, {28, 0, 15}};
  for (const Case& c : cases) {
    Sound snd(SREP_QVXA_BLK, {music(c.frames, 1), music(c.frames, 2)});
    States st;
    int32_t offsets[4] = {-1, -1, -1, -1};
    Bytes b = exportMem(snd, c.flags, st.s, offsets);
    EXPECT_EQ(int32_t(b.size()), 2 * c.bytes) << c.frames << " flags " << c.flags;
    EXPECT_EQ(offsets[0], 0);
    EXPECT_EQ(offsets[1], c.bytes);
    if ((c.flags & 0x40) && qvxa_frames(c.frames) % 2 == 1) {  // 4 + odd frames: one pad byte
      EXPECT_EQ(b[c.bytes - 1], 0);
      EXPECT_EQ(b[2 * c.bytes - 1], 0);
    }
  }
}

TEST(QvxaBlockExport, EachChannelIsItsOwnEncoding) {
  // Channels are encoded in pairs; every channel's block must still be the plain encoding of that
  // channel alone, from the history its state held, whatever the channel count and last frame.
  for (int channels = 1; channels <= 4; ++channels) {
    for (int32_t frames : {28, 29, 28 * 9 + 13}) {
      std::vector<std::vector<int16_t>> pcm;
      for (int c = 0; c < channels; ++c) pcm.push_back(music(frames, c + 1));
      Sound snd(SREP_QVXA_BLK, pcm);
      States st;
      XA_ENCSTATE start[4];
      for (int c = 0; c < channels; ++c) {
        st.s[c]->xa = XA_ENCSTATE{100 * c - 7, 3 - c, 0.25 * c, -0.5};
        start[c] = st.s[c]->xa;
      }
      int32_t offsets[4] = {-1, -1, -1, -1};
      const Bytes b = exportMem(snd, 0x40, st.s, offsets);
      const int32_t bytes = 4 + qvxa_frames(frames) * QVXA_FRAMEBYTES;
      const int32_t padded = bytes + (bytes & 1);
      ASSERT_EQ(int32_t(b.size()), channels * padded);
      for (int c = 0; c < channels; ++c) {
        SCOPED_TRACE(testing::Message() << channels << " channels, " << frames << " frames, channel " << c);
        EXPECT_EQ(offsets[c], c * padded);
        Bytes want(padded, 0);
        want[0] = uint8_t(start[c].s1), want[1] = uint8_t(start[c].s1 >> 8);
        want[2] = uint8_t(start[c].s2), want[3] = uint8_t(start[c].s2 >> 8);
        XA_ENCSTATE ref = start[c];
        qvxa_encode(pcm[c].data(), want.data() + 4, frames, &ref);
        EXPECT_EQ(Bytes(b.begin() + c * padded, b.begin() + (c + 1) * padded), want);
        EXPECT_EQ(st.s[c]->xa.e1, ref.e1);
        EXPECT_EQ(st.s[c]->xa.s1, ref.s1);
      }
    }
  }
}

TEST(QvxaBlockExport, PrefixHoldsEncoderHistoryInFlagByteOrder) {
  Sound snd(SREP_QVXA_BLK, {music(28, 3)});
  for (int flags : {0x40, 0x42}) {
    States st;
    st.s[0]->xa.s1 = 1234;
    st.s[0]->xa.s2 = -5;
    Bytes b = exportMem(snd, flags, st.s, nullptr);
    ASSERT_EQ(b.size(), 20u);
    if (flags & 0x02) {
      EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), (Bytes{0x04, 0xD2, 0xFF, 0xFB}));
    } else {
      EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), (Bytes{0xD2, 0x04, 0xFB, 0xFF}));
    }
    EXPECT_EQ(b[19], 0);
    // The state moved on to the last two input samples of the frame.
    EXPECT_EQ(st.s[0]->xa.s1, snd.ch[0][27]);
    EXPECT_EQ(st.s[0]->xa.s2, snd.ch[0][26]);
  }
}

TEST(QvxaBlock, ChunkedRoundTripEqualsWhole) {
  const int32_t n = 28 * 120 + 9;
  Sound snd(SREP_QVXA_BLK, {music(n, 4), music(n, 5)});
  States whole;
  Bytes all = exportMem(snd, 0, whole.s, nullptr);
  // The same export in chunks, each chunk's channel data concatenated per channel.
  States parts;
  Bytes ch0, ch1;
  for (int32_t at = 0; at < n;) {
    int32_t k = std::min<int32_t>(28 * 53, n - at);
    int32_t off[4];
    Bytes b = exportMem(snd, 0, parts.s, off, at, k);
    ch0.insert(ch0.end(), b.begin(), b.begin() + off[1]);
    ch1.insert(ch1.end(), b.begin() + off[1], b.end());
    at += k;
  }
  Bytes joined = ch0;
  joined.insert(joined.end(), ch1.begin(), ch1.end());
  EXPECT_EQ(joined, all);

  // Decoding in pieces continues from the decoder state of the previous call.
  TempFile tf("qvxablk.bin", all);
  States ds;
  std::vector<int16_t> a(n), b(n);
  int16_t* bufs[4] = {a.data(), b.data()};
  int32_t half = int32_t(all.size() / 2);
  int32_t pos[4] = {0, half};
  ASSERT_EQ(isimportsamples(tf.f, pos, 0, 0, 28 * 60, 2, SREP_QVXA_BLK, ds.s, bufs), 1);
  int32_t pos2[4] = {60 * 15, half + 60 * 15};
  ASSERT_EQ(isimportsamples(tf.f, pos2, 0, 28 * 60, n - 28 * 60, 2, SREP_QVXA_BLK, ds.s, bufs), 1);

  std::vector<int16_t> ref(qvxa_frames(n) * 28);
  int16_t p1 = 0, p2 = 0;
  qvxa_decode_mono(n, &p1, &p2, all.data(), ref.data());
  ref.resize(n);
  EXPECT_EQ(a, ref);
  double err = 0, sig = 0;
  for (int32_t i = 0; i < n; ++i) {
    sig += double(snd.ch[1][i]) * snd.ch[1][i];
    err += double(snd.ch[1][i] - b[i]) * (snd.ch[1][i] - b[i]);
  }
  EXPECT_GT(10 * std::log10(sig / err), 25.0);

  // One byte short of the last frame fails with the XA message.
  Bytes cut(all.begin(), all.begin() + half - 1);
  int result = -1;
  importFile(cut, SREP_QVXA_BLK, 1, n, nullptr, nullptr, &result);
  EXPECT_EQ(result, 0);
  EXPECT_STREQ(AUREX_lasterror(), "Couldn't read XA samples.");
}

TEST(QvxaInterleaved, MonoReadsOnlyTheBytesOfAPartialLastFrame) {
  const int32_t n = 1792 + 28 * 3 + 5;  // one full piece, then 3 frames and 5 samples
  Sound snd(SREP_QVXA_BLK, {music(n, 6)});
  Bytes enc = exportMem(snd, 0, nullptr, nullptr);
  Bytes exact(enc.begin(), enc.begin() + (64 + 3) * 15 + 1 + 3);  // header + ceil(5/2) bytes
  auto got = importFile(exact, SREP_QVXA_INT, 1, n);
  auto ref = importFile(enc, SREP_QVXA_BLK, 1, n);
  EXPECT_EQ(got, ref);
  int result = -1;
  importFile(Bytes(exact.begin(), exact.end() - 1), SREP_QVXA_INT, 1, n, nullptr, nullptr, &result);
  EXPECT_EQ(result, 0);
  EXPECT_STREQ(AUREX_lasterror(), "Couldn't read XA samples.");
}

TEST(QvxaInterleaved, StereoFramesCarryBothChannels) {
  const int32_t n = 1792 + 28 + 3;
  Sound snd(SREP_QVXA_BLK, {music(n, 7), music(n, 8)});
  int32_t off[4];
  Bytes blk = exportMem(snd, 0, nullptr, off);
  const int32_t frames = qvxa_frames(n);
  Bytes st;
  for (int32_t f = 0; f < frames; ++f) {
    const uint8_t* a = &blk[f * 15];
    const uint8_t* b = &blk[off[1] + f * 15];
    st.push_back(uint8_t((a[0] & 0xF0) | (b[0] >> 4)));
    st.push_back(uint8_t((a[0] << 4) | (b[0] & 15)));
    for (int k = 0; k < 28; ++k) {
      int na = (a[1 + k / 2] >> ((k & 1) ? 0 : 4)) & 15, nb = (b[1 + k / 2] >> ((k & 1) ? 0 : 4)) & 15;
      st.push_back(uint8_t((na << 4) | nb));
    }
  }
  st.resize((frames - 1) * 30 + 2 + 3);  // the last piece reads 2 + r bytes
  auto got = importFile(st, SREP_QVXA_INT, 2, n);
  std::vector<int16_t> ml(frames * 28), mr(frames * 28);
  int16_t h[4] = {};
  qvxa_decode_stereo(n, &h[0], &h[1], &h[2], &h[3], st.data(), ml.data(), mr.data());
  ml.resize(n);
  mr.resize(n);
  EXPECT_EQ(got[0], ml);
  EXPECT_EQ(got[1], mr);
  int result = -1;
  importFile(st, SREP_QVXA_INT, 3, n, nullptr, nullptr, &result);
  EXPECT_EQ(result, 0);
  EXPECT_STREQ(AUREX_lasterror(), "Unsupported sample import format.");
}

std::vector<int> g_progress;

TEST(Progress, QvxaBlockReportsPerFrame) {
  AUREX_setprogress([](int p) { g_progress.push_back(p); });
  Sound snd(SREP_QVXA_BLK, {music(56, 1), music(56, 2)});
  {
    States st;
    g_progress.clear();
    exportMem(snd, 0x40, st.s, nullptr);
    EXPECT_EQ(g_progress, (std::vector<int>{0, 25, 50, 75}));
  }
  {
    States st;
    st.s[0]->wholeprogress = 1;
    g_progress.clear();
    exportMem(snd, 0x40, st.s, nullptr);
    EXPECT_EQ(g_progress, (std::vector<int>{0, 50}));
  }
  {
    // Interleaved PCM reports every 65536 frames, readers every 4096 frames.
    Sound big(SREP_S16L_INT, {std::vector<int16_t>(70000, 1)});
    g_progress.clear();
    Bytes b = exportMem(big, 0, nullptr, nullptr);
    EXPECT_EQ(g_progress, (std::vector<int>{0, 93}));
    g_progress.clear();
    importFile(Bytes(b.begin(), b.begin() + 8193 * 2), SREP_S16L_INT, 1, 8193);
    EXPECT_EQ(g_progress, (std::vector<int>{0, 50, 100}));
  }
  AUREX_setprogress(nullptr);
}

TEST(Export, UnsupportedRepresentationsAndRanges) {
  Sound snd(SREP_QVXA_INT, {music(28, 1)});
  uint8_t buf[64];
  EXPECT_EQ(isexportsamples(nullptr, buf, 0, 28, 0, nullptr, nullptr, &snd.t), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Unsupported sample format in isexportsamples.");
  EXPECT_EQ(isexportsamples(nullptr, buf, 0, 0, 0, nullptr, nullptr, &snd.t), 1);  // nothing to do
  snd.t.samplerep = 18;
  EXPECT_EQ(isexportsamples(nullptr, buf, 0, 28, 0, nullptr, nullptr, &snd.t), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Unsupported samplerep in export samples.");
  snd.t.samplerep = SREP_S16L_BLK;
  EXPECT_EQ(isexportsamples(nullptr, buf, 1, 28, 0, nullptr, nullptr, &snd.t), 0);  // past the end
  EXPECT_EQ(isexportsamplesto(buf, 10, 0, 28, 0, nullptr, nullptr, &snd.t), -1);    // too small
}

TEST(Import, UnsupportedRepresentation) {
  int result = -1;
  importFile(Bytes(64), SREP_N64_BLK, 1, 28, nullptr, nullptr, &result);  // encode only
  EXPECT_EQ(result, 0);
  EXPECT_STREQ(AUREX_lasterror(), "Unsupported sample import format.");
}

TEST(MemoryExport, EstimatesAndExactCopies) {
  struct Case {
    int rep, channels;
    int32_t frames, bytes;
  } cases[] = {{SREP_S16L_INT, 2, 10, 40}, {SREP_S8_BLK, 3, 10, 30},   {SREP_U8_INT, 1, 7, 7},
               {SREP_QVXA_BLK, 2, 29, 60}, {SREP_QVXA_INT, 1, 28, 15}, {SREP_PL_BLK, 2, 100000, 80000},
               {SREP_VAG_BLK, 1, 28, 48},  {SREP_N64_BLK, 2, 17, 36},  {SREP_DVI_INT, 1, 3, 2},
               {SREP_DVI_INT, 2, 3, 3},    {SREP_LAYER2, 2, 100, 1728}};
  for (const Case& c : cases) EXPECT_EQ(AUREX_estimatesize(c.frames, c.rep, c.channels), c.bytes) << c.rep;
  // Parlet: 0.4 bytes a sample, but at least a whole frame with its start and final bytes.
  EXPECT_EQ(AUREX_estimatesize(10, SREP_PL_BLK, 1), 172);
  EXPECT_EQ(AUREX_estimatesize(10, SREP_OGG, 1), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Unsupported compression type in memory exporter.");

  // With the channel prefix the output outgrows the estimate and comes back exactly sized,
  // equal to what the file sink receives.
  Sound snd(SREP_QVXA_BLK, {music(29, 1), music(29, 2)});
  States a, b;
  uint8_t* out = nullptr;
  int32_t offs[4];
  int32_t n = ismemexportsamples(&out, 29, 0x40, a.s, offs, &snd.t);
  ASSERT_EQ(n, 68);
  EXPECT_EQ(offs[1], 34);
  std::string path = tempPath("memfile.bin");
  gfile* w = gwopen(path.c_str());
  ASSERT_EQ(isexportsamples(w, nullptr, 0, 29, 0x40, b.s, nullptr, &snd.t), 1);
  gclose(w);
  std::ifstream in(path, std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(in)), {});
  std::remove(path.c_str());
  EXPECT_EQ(file, Bytes(out, out + n));
  gfree(out);
}

TEST(CompStates, InitClearsHistoryButKeepsProgressMark) {
  States st;
  st.s[2]->xa.s1 = 7;
  st.s[2]->xaprev1 = 9;
  st.s[2]->wholeprogress = 1;
  AUREX_initcompstate(st.s[2]);
  EXPECT_EQ(st.s[2]->xa.s1, 0);
  EXPECT_EQ(st.s[2]->xaprev1, 0);
  EXPECT_EQ(st.s[2]->wholeprogress, 1);
  AUREX_freecompstates(st.s);
  for (auto* p : st.s) EXPECT_EQ(p, nullptr);
}

}  // namespace
