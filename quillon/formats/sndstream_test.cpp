// SND stream modules: header tags and platform sections, chunking, CRC variants, reading back
// through the format table, and corrupt or hostile files.
#include "quillon/formats/sndstream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "quillon/codecs/qvxa.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"
#include "quillon/soundcore/samples.h"

namespace {

using Bytes = std::vector<uint8_t>;

enum { kPc = 9, kPsx = 12, kMac = 16, kDzl = 18, kPs2 = 20 };

std::string tempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/sndstream_test_" + std::to_string(getpid()) + "_" + name;
}

Bytes slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), {});
}

void spit(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

std::vector<int16_t> music(int n, int seed) {
  std::vector<int16_t> s(n);
  for (int i = 0; i < n; ++i)
    s[i] = int16_t(11000 * std::sin(i * 0.013 * seed) + 6000 * std::sin(i * 0.21 + seed));
  return s;
}

// A SINFO that owns galloc'd sample buffers.
struct Sound {
  SINFO* info;
  Sound(int rep, int channels, int rate, int n) : info(AUREX_newsinfo()) {
    STIMBRE& t = info->timbres[0];
    t.samplerep = int8_t(rep);
    t.numchannels = int8_t(channels);
    t.samplerate = rate;
    t.numsamples = n;
    if (n > 0) {
      EXPECT_EQ(AUREX_allocsamples(&t), 0);
    }
    for (int c = 0; c < channels && n > 0; ++c) {
      auto m = music(n, c + 2);
      std::copy(m.begin(), m.end(), t.samples[c]);
    }
  }
  ~Sound() { AUREX_freesinfo(info); }
  STIMBRE& t() { return info->timbres[0]; }
};

// Writes through the format table; returns the file bytes (empty on failure).
Bytes writeStream(int format, SINFO* info, int* result = nullptr, int element = 0) {
  std::string path = tempPath("w.asf");
  gfile* f = gwopen(path.c_str());
  SINSTANCE* inst = nullptr;
  EXPECT_GT(AUREX_create(f, &inst, format), 0);
  int r = AUREX_write(inst, info, element);
  EXPECT_EQ(AUREX_wclose(inst), 1);
  gclose(f);
  if (result) *result = r;
  Bytes b = r ? slurp(path) : Bytes{};
  std::remove(path.c_str());
  return b;
}

// Reads element 0 back; null on failure with the last error set.
SINFO* readStream(int format, const Bytes& file, bool samples = true) {
  std::string path = tempPath("r.asf");
  spit(path, file);
  gfile* f = gopen(path.c_str());
  SINSTANCE* inst = nullptr;
  SINFO* info = nullptr;
  if (AUREX_open(f, &inst, format) > 0) {
    if (AUREX_info(inst, &info, 0) && samples && !AUREX_read(inst, info, 0)) {
      AUREX_freesinfo(info);
      info = nullptr;
    }
    AUREX_close(inst);
  }
  gclose(f);
  std::remove(path.c_str());
  return info;
}

struct Chunk {
  std::string id;
  size_t pos;
  uint32_t size;
};

std::vector<Chunk> chunks(const Bytes& b) {
  std::vector<Chunk> out;
  for (size_t pos = 0; pos + 8 <= b.size();) {
    uint32_t size = ggetle(&b[pos + 4], 4);
    out.push_back({std::string(b.begin() + pos, b.begin() + pos + 4), pos, size});
    if (size < 8) break;
    pos += size;
  }
  return out;
}

Bytes headerBody(const Bytes& file, int hb = 8) {
  uint32_t size = ggetle(&file[4], 4);
  return Bytes(file.begin() + hb, file.begin() + size);
}

bool contains(const Bytes& hay, const Bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// The tags of a header body up to 0xFF, as (tag, raw value bytes).
std::vector<std::pair<int, Bytes>> parseTags(const Bytes& body) {
  std::vector<std::pair<int, Bytes>> tags;
  for (size_t i = 4; i < body.size();) {
    int tag = body[i++];
    if (tag == 0xFF) break;
    if (tag >= 0xFC) continue;
    size_t len = body[i++];
    if (len == 0xFF) {
      len = ggetbe(&body[i], 4);
      i += 4;
    }
    tags.push_back({tag, Bytes(body.begin() + i, body.begin() + i + len)});
    i += len;
  }
  return tags;
}

std::vector<int16_t> referenceDecode(const int16_t* in, int n) {
  std::vector<uint8_t> enc(qvxa_frames(n) * 15);
  XA_ENCSTATE st{};
  qvxa_encode(in, enc.data(), n, &st);
  std::vector<int16_t> out(qvxa_frames(n) * 28);
  int16_t p1 = 0, p2 = 0;
  qvxa_decode_mono(n, &p1, &p2, enc.data(), out.data());
  out.resize(n);
  return out;
}

TEST(SndStreamCrc, AbcGives535A) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(sndstream_crc16(abc, 3), 0x535A);
}

TEST(SndStreamWrite, MonoHeaderWritesOnlyWhatDiffersFromDefaults) {
  Sound s(SREP_QVXA_BLK, 1, 22050, 1000);
  Bytes f = writeStream(kPc, s.info);
  ASSERT_FALSE(f.empty()) << AUREX_lasterror();
  Bytes expect = {'S',  'C',  'H',  'l',  24,   0,    0,    0,    'P',  'T',  0,    0,
                  0x06, 0x01, 0x65, 0xFD, 0x80, 0x01, 0x01, 0x85, 0x02, 0x03, 0xE8, 0xFF};
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 24), expect);
}

TEST(SndStreamWrite, StereoHeaderTags) {
  Sound s(SREP_QVXA_BLK, 2, 44100, 100);
  Bytes body = headerBody(writeStream(kPc, s.info));
  EXPECT_TRUE(contains(body, {0x0B, 0x01, 0x02}));
  EXPECT_TRUE(contains(body, {0x82, 0x01, 0x02, 0x84, 0x03, 0x00, 0xAC, 0x44}));
  for (auto& [tag, v] : parseTags(body)) EXPECT_FALSE(tag >= 0x9C && tag < 0xA0) << "default angles written";
}

struct TagCase {
  const char* name;
  std::function<void(Sound&)> change;
  Bytes present;  // expected bytes in the header body
  int absenttag;  // a tag that must not appear, or -1
};

class SndStreamTags : public ::testing::TestWithParam<TagCase> {};

TEST_P(SndStreamTags, Written) {
  Sound s(SREP_QVXA_BLK, 1, 22050, 56);
  GetParam().change(s);
  Bytes f = writeStream(kPc, s.info);
  ASSERT_FALSE(f.empty()) << AUREX_lasterror();
  Bytes body = headerBody(f);
  if (!GetParam().present.empty()) {
    EXPECT_TRUE(contains(body, GetParam().present));
  }
  for (auto& [tag, v] : parseTags(body)) EXPECT_NE(tag, GetParam().absenttag);
  EXPECT_EQ(f.size() % 4, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    All, SndStreamTags,
    ::testing::Values(
        TagCase{"reverb64", [](Sound& s) { s.t().reverb = 64; }, {0x13, 0x01, 0x40}, -1},
        TagCase{"reverb0", [](Sound& s) { s.t().reverb = 0; }, {}, 0x13},
        TagCase{"pan0", [](Sound& s) { s.t().pan = 0; }, {0x0C, 0x00}, -1},
        TagCase{"detune", [](Sound& s) { s.t().detune = -200; }, {0x10, 0x02, 0xFF, 0x38}, -1},
        TagCase{
            "rate3bytes", [](Sound& s) { s.t().samplerate = 0x7FFF00; }, {0x84, 0x03, 0x7F, 0xFF, 0x00}, -1},
        TagCase{"rate4bytes",
                [](Sound& s) { s.t().samplerate = 0x7FFF01; },
                {0x84, 0x04, 0x00, 0x7F, 0xFF, 0x01},
                -1},
        TagCase{"streamrate", [](Sound& s) { s.info->streamrate = 29.6f; }, {0x1B, 0x01, 30}, -1},
        TagCase{"streamrate0", [](Sound& s) { s.info->streamrate = 0.0f; }, {}, 0x1B},
        TagCase{"playbits",
                [](Sound& s) {
                  s.t().playloc = 8;
                  s.t().playlocflag = 1;
                  s.t().spatialization = 64;
                },
                {0x8C, 0x01, 0x49},
                -1},
        TagCase{"angle", [](Sound& s) { s.t().trackangle[0] = 100; }, {0x9C, 0x01, 100}, -1},
        TagCase{"noflag00", [](Sound&) {}, {}, 0x00}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SndStreamWrite, UserDataIsAlignedAndSideDataWritten) {
  Sound s(SREP_QVXA_BLK, 1, 22050, 28);
  Bytes small(10, 0xAB), big(300, 0xCD), side(6, 0x5A);
  ASSERT_EQ(AUREX_adduserdata(&s.t(), int32_t(small.size()), small.data()), 1);  // slot 3
  ASSERT_EQ(AUREX_adduserdata(&s.t(), int32_t(big.size()), big.data()), 1);      // slot 2
  s.t().sidedata[0] = side.data();
  s.t().sidedatasize = 6;
  Bytes f = writeStream(kPc, s.info);
  s.t().sidedata[0] = nullptr;
  s.t().sidedatasize = 0;
  ASSERT_FALSE(f.empty()) << AUREX_lasterror();
  // Slot 2 first: 300 bytes need the 4-byte length; its data starts on a multiple of 4.
  auto big_at = std::search(f.begin(), f.end(), big.begin(), big.end()) - f.begin();
  auto small_at = std::search(f.begin(), f.end(), small.begin(), small.end()) - f.begin();
  EXPECT_EQ(big_at % 4, 0);
  EXPECT_EQ(small_at % 4, 0);
  EXPECT_LT(big_at, small_at);
  EXPECT_EQ(Bytes(f.begin() + big_at - 6, f.begin() + big_at), (Bytes{0x14, 0xFF, 0x00, 0x00, 0x01, 0x2C}));
  EXPECT_EQ(Bytes(f.begin() + small_at - 2, f.begin() + small_at), (Bytes{0x14, 10}));
  EXPECT_EQ(f[12], 0xFC);  // padding right after the patch header
  EXPECT_TRUE(contains(f, {0x98, 6, 0x5A, 0x5A}));
  // The reader skips the blocks and still finds every value.
  SINFO* back = readStream(kPc, f);
  ASSERT_NE(back, nullptr) << AUREX_lasterror();
  EXPECT_EQ(back->timbres[0].numsamples, 28);
  AUREX_freesinfo(back);
}

TEST(SndStreamWrite, ChunkSizesFollowTheStreamRate) {
  struct Case {
    int rate;
    int n;
    std::vector<uint32_t> frames;
  } cases[] = {{22050, 1484 + 1456 + 1484 + 100, {1484, 1456, 1484, 100}},
               {44100, 2940 * 2 + 5, {2940, 2940, 5}}};
  for (const Case& c : cases) {
    Sound s(SREP_QVXA_BLK, 2, c.rate, c.n);
    Bytes f = writeStream(kPc, s.info);
    auto cs = chunks(f);
    std::vector<uint32_t> got;
    size_t total = 0;
    for (auto& ch : cs) {
      EXPECT_EQ(ch.size % 4, 0u);
      total += ch.size;
      if (ch.id != "SCDl") continue;
      uint32_t n = ggetle(&f[ch.pos + 8], 4);
      got.push_back(n);
      // Channel 1 starts after channel 0's prefix, frames and pad byte.
      uint32_t frames = uint32_t(qvxa_frames(int32_t(n)));
      uint32_t per = 4 + frames * 15 + ((frames * 15 + 4) & 1);
      EXPECT_EQ(ggetle(&f[ch.pos + 12], 4), 0u);
      EXPECT_EQ(ggetle(&f[ch.pos + 16], 4), per);
      EXPECT_EQ(ch.size, (20 + 2 * per + 3) / 4 * 4);
    }
    EXPECT_EQ(got, c.frames);
    EXPECT_EQ(total, f.size());
    ASSERT_GE(cs.size(), 3u);
    EXPECT_EQ(cs[1].id, "SCCl");
    EXPECT_EQ(ggetle(&f[cs[1].pos + 8], 4), c.frames.size());
    EXPECT_EQ(cs.back().id, "SCEl");
    EXPECT_EQ(cs.back().size, 8u);
  }
}

TEST(SndStreamWrite, EmptyStreamHasHeaderCountAndEnd) {
  Sound s(SREP_QVXA_BLK, 1, 22050, 0);
  Bytes f = writeStream(kPc, s.info);
  auto cs = chunks(f);
  ASSERT_EQ(cs.size(), 3u);
  EXPECT_EQ(cs[0].id, "SCHl");
  EXPECT_EQ(cs[1].id, "SCCl");
  EXPECT_EQ(cs[1].size, 12u);
  EXPECT_EQ(ggetle(&f[cs[1].pos + 8], 4), 0u);
  EXPECT_EQ(cs[2].id, "SCEl");
  SINFO* back = readStream(kPc, f);
  ASSERT_NE(back, nullptr) << AUREX_lasterror();
  EXPECT_EQ(back->timbres[0].numsamples, 0);
  AUREX_freesinfo(back);
}

TEST(SndStreamWrite, SameInputTwiceGivesIdenticalFiles) {
  Sound s(SREP_QVXA_BLK, 2, 22050, 5000);
  s.t().reverb = 33;
  EXPECT_EQ(writeStream(kPc, s.info), writeStream(kPc, s.info));
}

TEST(SndStreamWrite, Refusals) {
  Sound s(SREP_QVXA_BLK, 1, 22050, 100);
  s.t().loopstart = 0;
  s.t().loopend = 50;
  int r = -1;
  writeStream(kPc, s.info, &r);
  EXPECT_EQ(r, 0);
  EXPECT_STREQ(AUREX_lasterror(), "SND streams cannot contain loop points.");
  s.t().loopend = -1;

  struct Case {
    int format;
    const char* msg;
  } cases[] = {{kPc, "SND PC stream files can only contain element 0."},
               {kPs2, "SND PS2 stream files can only contain element 0."},
               {kMac, "SND MAC stream files can only contain element 0."},
               {kPsx, "SND PSX stream files can only contain element 0."},
               {kDzl, "ZOR PSX stream files can only contain element 0."}};
  for (const Case& c : cases) {
    s.t().samplerep = int8_t(c.format == kPsx || c.format == kDzl ? SREP_VAG_BLK : SREP_QVXA_BLK);
    writeStream(c.format, s.info, &r, 1);
    EXPECT_EQ(r, 0);
    EXPECT_STREQ(AUREX_lasterror(), c.msg);
  }

  Sound three(SREP_QVXA_BLK, 3, 22050, 28);
  writeStream(kPs2, three.info, &r);
  EXPECT_EQ(r, 0);
}

struct RoundTripCase {
  const char* name;
  int format;
  int rep;
  int channels;
  int rate;
  int n;
};

class SndStreamRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(SndStreamRoundTrip, ReadsBackWhatWasWritten) {
  const RoundTripCase& c = GetParam();
  Sound s(c.rep, c.channels, c.rate, c.n);
  s.t().reverb = 64;
  s.t().pan = 10;
  s.t().volume = 100;
  s.t().detune = -3;
  s.t().playloc = 8;
  Bytes f = writeStream(c.format, s.info);
  ASSERT_FALSE(f.empty()) << AUREX_lasterror();
  SINFO* back = readStream(c.format, f);
  ASSERT_NE(back, nullptr) << AUREX_lasterror();
  const STIMBRE& t = back->timbres[0];
  EXPECT_EQ(t.numchannels, c.channels);
  EXPECT_EQ(t.samplerate, c.rate);
  EXPECT_EQ(t.numsamples, c.n);
  EXPECT_EQ(t.samplerep, c.rep);
  EXPECT_EQ(t.reverb, 64);
  if (c.format != kPs2) {
    EXPECT_EQ(t.pan, 10);
    EXPECT_EQ(t.volume, 100);
    EXPECT_EQ(t.detune, -3);
    EXPECT_EQ(t.playloc, 8);
    EXPECT_EQ(t.instC, 1);
  } else {
    EXPECT_EQ(t.pan, 64);  // not written for this platform
    EXPECT_EQ(t.playloc, 4);
    EXPECT_EQ(t.instC, 2);
  }
  for (int ch = 0; ch < c.channels; ++ch) {
    std::vector<int16_t> got(t.samples[ch], t.samples[ch] + c.n);
    std::vector<int16_t> in(s.t().samples[ch], s.t().samples[ch] + c.n);
    if (c.rep == SREP_QVXA_BLK) {
      // Decoded chunk by chunk, it equals the whole channel encoded and decoded in one piece.
      EXPECT_EQ(got, referenceDecode(in.data(), c.n)) << "channel " << ch;
    } else if (c.rep == SREP_S8_BLK) {
      for (auto& v : in) v = int16_t((v >> 8) * 256);
      EXPECT_EQ(got, in);
    } else {
      EXPECT_EQ(got, in);
    }
  }
  AUREX_freesinfo(back);
}

INSTANTIATE_TEST_SUITE_P(All, SndStreamRoundTrip,
                         ::testing::Values(RoundTripCase{"pc_qvxa_mono", kPc, SREP_QVXA_BLK, 1, 22050, 10000},
                                           RoundTripCase{"pc_qvxa_stereo", kPc, SREP_QVXA_BLK, 2, 44100,
                                                         9000},
                                           RoundTripCase{"pc_qvxa_quad", kPc, SREP_QVXA_BLK, 4, 32000, 3001},
                                           RoundTripCase{"pc_s16l", kPc, SREP_S16L_BLK, 3, 11025, 2000},
                                           RoundTripCase{"pc_s8", kPc, SREP_S8_BLK, 1, 8000, 1234},
                                           RoundTripCase{"mac_qvxa", kMac, SREP_QVXA_BLK, 2, 22050, 7000},
                                           RoundTripCase{"mac_s16b", kMac, SREP_S16B_BLK, 2, 22050, 3000},
                                           RoundTripCase{"ps2_qvxa", kPs2, SREP_QVXA_BLK, 2, 48000, 6000},
                                           RoundTripCase{"ps2_s16l", kPs2, SREP_S16L_BLK, 1, 22050, 2500}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SndStreamPlatforms, MacUsesBigEndianCountsOffsetsAndPrefix) {
  Sound s(SREP_QVXA_BLK, 2, 22050, 1484 + 100);
  s.t().samples[0][1483] = 1234;  // the encoder history the second chunk starts with
  s.t().samples[0][1482] = -5;
  Bytes f = writeStream(kMac, s.info);
  auto cs = chunks(f);
  ASSERT_EQ(cs.size(), 5u);
  EXPECT_EQ(ggetbe(&f[cs[1].pos + 8], 4), 2u);
  EXPECT_EQ(ggetbe(&f[cs[2].pos + 8], 4), 1484u);
  EXPECT_EQ(ggetbe(&f[cs[3].pos + 8], 4), 100u);
  EXPECT_EQ(ggetbe(&f[cs[3].pos + 16], 4), 4u + 4 * 15);
  EXPECT_EQ(Bytes(f.begin() + cs[2].pos + 20, f.begin() + cs[2].pos + 24), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(Bytes(f.begin() + cs[3].pos + 20, f.begin() + cs[3].pos + 24), (Bytes{0x04, 0xD2, 0xFF, 0xFB}));
}

TEST(SndStreamPlatforms, Ps2LeavesOutInstrumentTagsButKeepsChannels) {
  Sound s(SREP_QVXA_BLK, 2, 22050, 56);
  s.t().rootnote = 50;
  s.t().pan = 0;
  s.t().volume = 3;
  Bytes body = headerBody(writeStream(kPs2, s.info));
  for (auto& [tag, v] : parseTags(body)) EXPECT_FALSE(tag >= 0x07 && tag <= 0x11 && tag != 0x0B) << tag;
  EXPECT_TRUE(contains(body, {0x0B, 0x01, 0x02}));
  EXPECT_TRUE(contains(body, {0x80, 0x01, 0x02}));
  EXPECT_TRUE(contains(body, {0xA0, 0x01, 0x0A}));
  EXPECT_TRUE(contains(body, {0x8C, 0x01, 0x04}));
}

TEST(SndStreamPlatforms, PsxHeaderAndCrcOnEveryChunk) {
  for (int format : {kPsx, kDzl}) {
    Sound s(SREP_VAG_BLK, 1, 22050, 0);
    Bytes f = writeStream(format, s.info);
    ASSERT_FALSE(f.empty()) << AUREX_lasterror();
    auto cs = chunks(f);
    ASSERT_EQ(cs.size(), 3u);
    EXPECT_EQ(cs[1].size, 16u);
    EXPECT_EQ(cs[2].size, 12u);
    for (auto& c : cs) {
      Bytes copy(f.begin() + c.pos, f.begin() + c.pos + c.size);
      uint32_t stored = ggetle(&copy[8], 4);
      std::fill(copy.begin() + 8, copy.begin() + 12, 0);
      EXPECT_EQ(stored, sndstream_crc16(copy.data(), copy.size())) << c.id;
    }
    Bytes body = headerBody(f, 12);
    Bytes expect = {'P', 'T', 1, 0, 0x06, 0x01, 0x65};
    if (format == kDzl) expect.insert(expect.end(), {0x00, 0x01, 0x02});
    expect.insert(expect.end(), {0xFD, 0x8C, 0x00});
    EXPECT_EQ(Bytes(body.begin(), body.begin() + expect.size()), expect);
    // Tag 0x8A's four value bytes start on a multiple of 4 of the file.
    size_t pos8a = 0;
    for (size_t i = 12 + expect.size(); i + 1 < f.size(); ++i) {
      if (f[i] == 0x8A && f[i + 1] == 4) {
        pos8a = i;
        break;
      }
    }
    ASSERT_NE(pos8a, 0u);
    EXPECT_EQ((pos8a + 2) % 4, 0u);
    EXPECT_EQ(f[pos8a + 6], 0xFF);
  }
  // Stereo VAG data in stream form (flag 2 on every frame, no lead-in) over several chunks.
  Sound s(SREP_VAG_BLK, 2, 22050, 5000);
  Bytes f = writeStream(kPsx, s.info);
  ASSERT_FALSE(f.empty()) << AUREX_lasterror();
  SINFO* back = readStream(kPsx, f);
  ASSERT_NE(back, nullptr) << AUREX_lasterror();
  const STIMBRE& t = back->timbres[0];
  ASSERT_EQ(t.numsamples, 5012);  // rounded up to whole frames
  for (int c = 0; c < 2; ++c) {
    double sig = 0, err = 0;
    for (int i = 0; i < 5000; ++i) {
      const double d = double(s.t().samples[c][i]) - t.samples[c][i];
      sig += double(s.t().samples[c][i]) * s.t().samples[c][i];
      err += d * d;
    }
    EXPECT_GT(10 * std::log10(sig / err), 20.0) << c;
  }
  AUREX_freesinfo(back);
  auto cs = chunks(f);
  const size_t data = cs[2].pos + 12 + 4;
  for (int k = 0; k < 4; ++k) EXPECT_EQ(f[data + 16 * k + 1], 2) << "stream frames carry flag 2";
}

TEST(SndStreamPlatforms, PsxStreamReadsItsHeaderBack) {
  Sound s(SREP_VAG_BLK, 1, 44100, 0);
  Bytes f = writeStream(kPsx, s.info);
  SINFO* back = readStream(kPsx, f);
  ASSERT_NE(back, nullptr) << AUREX_lasterror();
  EXPECT_EQ(back->timbres[0].samplerep, SREP_VAG_BLK);  // revision 0: compression 6
  EXPECT_EQ(back->timbres[0].samplerate, 44100);
  AUREX_freesinfo(back);
}

TEST(SndStreamIdentify, ScoresByPlatformAndSize) {
  Sound s(SREP_QVXA_BLK, 1, 22050, 200);
  Bytes f = writeStream(kPc, s.info);
  std::string path = tempPath("id.asf");
  spit(path, f);
  gfile* g = gopen(path.c_str());
  EXPECT_EQ(AUREX_identify(g), kPc);
  EXPECT_EQ(AUREX_formats[kMac].identify(g), 0);
  gclose(g);
  spit(path, Bytes(f.begin(), f.begin() + 49));
  g = gopen(path.c_str());
  EXPECT_EQ(AUREX_formats[kPc].identify(g), 0);
  gclose(g);
  // A leading chunk of another kind is skipped on the way to the header.
  Bytes lead = {'X', 'X', 'X', 'X', 12, 0, 0, 0, 0, 0, 0, 0};
  lead.insert(lead.end(), f.begin(), f.end());
  spit(path, lead);
  g = gopen(path.c_str());
  EXPECT_EQ(AUREX_formats[kPc].identify(g), 100);
  gclose(g);
  std::remove(path.c_str());
}

// ---- hand-made headers --------------------------------------------------------------------

Bytes chunk(const char* id, const Bytes& body) {
  Bytes c(id, id + 4);
  uint32_t size = uint32_t((8 + body.size() + 3) / 4 * 4);
  c.insert(c.end(), {uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), uint8_t(size >> 24)});
  c.insert(c.end(), body.begin(), body.end());
  c.resize(size, 0);
  return c;
}

Bytes streamWith(const Bytes& headerbody, const Bytes& rest = {}) {
  Bytes f = chunk("SCHl", headerbody);
  Bytes cc = chunk("SCCl", {0, 0, 0, 0});
  f.insert(f.end(), cc.begin(), cc.end());
  f.insert(f.end(), rest.begin(), rest.end());
  Bytes e = chunk("SCEl", {});
  f.insert(f.end(), e.begin(), e.end());
  while (f.size() < 64) f.push_back(0);
  return f;
}

TEST(SndStreamRead, TagRules) {
  Bytes h = {
      'P',  'T',  0,    2,    9,    9,    9,    9,                          // flags bit 1: four bytes skipped
      0x10, 0x02, 0xFF, 0x38,                                               // detune -200 (sign-extended)
      0x11, 0x03, 0xFF, 0xFF, 0xFE,                                         // fine tune -2 from 3 bytes
      0x14, 0xFF, 0,    0,    0,    6,    1,    2,    3,    4,    5,    6,  // data block with a 4-byte length
      0x24, 0x01, 0x05,                                                     // bank word
      0x0C, 0x00,                                                           // pan 0 from length 0
      0xFC, 0xFD, 0x80, 0x01, 0x01, 0x85, 0x01, 0x1C, 0x82, 0x01, 0x02, 0xA0,
      0x01, 0x0A, 0x84, 0x04, 0x00, 0x00, 0xAC, 0x44, 0x8C, 0x01, 0x69,
      0xFE,  // second timbre, defaults again
      0x07, 0x01, 0x30, 0xFF};
  SINFO* info = readStream(kPc, streamWith(h), false);
  ASSERT_NE(info, nullptr) << AUREX_lasterror();
  const STIMBRE& t = info->timbres[0];
  EXPECT_EQ(t.detune, -200);
  EXPECT_EQ(t.finetune, -2);
  EXPECT_EQ(t.pan, 0);
  EXPECT_EQ(t.numsamples, 28);
  EXPECT_EQ(t.numchannels, 2);
  EXPECT_EQ(t.samplerate, 44100);
  EXPECT_EQ(t.samplerep, SREP_QVXA_BLK);
  EXPECT_EQ(t.playloc, 8);
  EXPECT_EQ(t.playlocflag, 1);
  EXPECT_EQ(t.spatialization, 0x60);
  EXPECT_EQ(info->bankword, 5);
  EXPECT_EQ(info->numtimbres, 2);
  EXPECT_EQ(info->timbres[1].rootnote, 0x30);
  EXPECT_EQ(info->timbres[1].pan, 64);
  AUREX_freesinfo(info);
}

TEST(SndStreamRead, RepresentationFromRevisionZero) {
  struct Case {
    int platform, bits, comp, rep;
  } cases[] = {{0, 16, 0, SREP_S16L_INT}, {0, 8, 0, SREP_S8_INT},  {0, 16, 7, SREP_QVXA_INT},
               {0, 16, 2, SREP_DVI_INT},  {0, 16, 9, SREP_PL_BLK}, {3, 16, 0, SREP_S16B_BLK},
               {0, 16, 5, SREP_N64_BLK},  {0, 12, 0, -1},          {0, 16, 3, -1}};
  for (const Case& c : cases) {
    int format = c.platform == 3 ? kMac : kPc;
    Bytes h = {'P',  'T',  uint8_t(c.platform), 0,   0xFD, 0x81, 0x01, uint8_t(c.bits),
               0x83, 0x01, uint8_t(c.comp),     0xFF};
    SINFO* info = readStream(format, streamWith(h), false);
    if (c.rep < 0) {
      EXPECT_EQ(info, nullptr);
      EXPECT_STREQ(AUREX_lasterror(), "Couldn't convert bits/compression to samplerep.");
      continue;
    }
    ASSERT_NE(info, nullptr) << AUREX_lasterror();
    EXPECT_EQ(info->timbres[0].samplerep, c.rep) << c.comp;
    EXPECT_EQ(info->timbres[0].instC, 0);
    AUREX_freesinfo(info);
  }
  Bytes h = {'P', 'T', 4, 0, 0xFF};
  EXPECT_EQ(readStream(kPc, streamWith(h), false), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Platform not supported in resettimbre.");
}

TEST(SndStreamRead, ScalingTableAndEnvelopeReferences) {
  // Tag 0x12 points 8 bytes past its value to a 128-byte table; tag 0x19 to two points.
  Bytes h = {'P', 'T', 0, 0, 0x09, 0x01, 0x02};
  size_t v12 = 8 + h.size() + 2;  // file offset of tag 0x12's value
  h.insert(h.end(), {0x12, 0x04, 0, 0, 0, 0});
  size_t v19 = 8 + h.size() + 2;
  h.insert(h.end(), {0x19, 0x04, 0, 0, 0, 0, 0xFF, 0, 0});
  size_t table = (8 + h.size() + 3) / 4 * 4;
  h.resize(table - 8, 0);
  for (int i = 0; i < 128; ++i) h.push_back(uint8_t(i));
  size_t env = 8 + h.size();
  h.insert(h.end(), {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0});
  gputbe(&h[v12 - 8], uint32_t(table - v12), 4);
  gputbe(&h[v19 - 8], uint32_t(env - v19), 4);
  SINFO* info = readStream(kPc, streamWith(h), false);
  ASSERT_NE(info, nullptr) << AUREX_lasterror();
  const STIMBRE& t = info->timbres[0];
  ASSERT_NE(t.paramblock[0], nullptr);
  EXPECT_EQ(static_cast<uint8_t*>(t.paramblock[0])[127], 127);
  EXPECT_EQ(t.instH, 2);
  EXPECT_EQ(t.envelope[0][0], 1);
  EXPECT_EQ(t.envelope[1][1], 4);
  AUREX_freesinfo(info);

  Bytes bad = {'P', 'T', 0, 0, 0x12, 0x04, 0x7F, 0, 0, 0, 0xFF};
  EXPECT_EQ(readStream(kPc, streamWith(bad), false), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Couldn't seek to scaling table.");
  Bytes twice = {'P', 'T', 0, 0, 0x12, 0x04, 0, 0, 0, 0, 0x12, 0x04, 0, 0, 0, 0, 0xFF};
  twice.resize(300, 0);  // room for the table both tags point to
  EXPECT_EQ(readStream(kPc, streamWith(twice), false), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Scaling table is already allocated.");
  Bytes many = {'P', 'T', 0, 0, 0x09, 0x01, 9, 0x19, 0x04, 0, 0, 0, 0, 0xFF};
  EXPECT_EQ(readStream(kPc, streamWith(many), false), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Envelope array to small for storage.");
}

TEST(SndStreamRead, ElementOtherThanZero) {
  Sound s(SREP_QVXA_BLK, 1, 22050, 100);
  Bytes f = writeStream(kPc, s.info);
  std::string path = tempPath("el.asf");
  spit(path, f);
  gfile* g = gopen(path.c_str());
  SINSTANCE* inst = nullptr;
  ASSERT_EQ(AUREX_open(g, &inst, kPc), 1);
  SINFO* info = nullptr;
  EXPECT_EQ(AUREX_info(inst, &info, 1), 0);
  EXPECT_STREQ(AUREX_lasterror(), "An attempt to get info from an element other than 0 was made.");
  ASSERT_EQ(AUREX_info(inst, &info, 0), 1);
  EXPECT_EQ(AUREX_read(inst, info, 1), 0);
  EXPECT_STREQ(AUREX_lasterror(), "An attempt to read from an element other than 0 was made.");
  AUREX_freesinfo(info);
  AUREX_close(inst);
  gclose(g);
  std::remove(path.c_str());
}

TEST(SndStreamRead, CorruptFilesFailCleanly) {
  Sound s(SREP_QVXA_BLK, 2, 22050, 4000);
  Bytes f = writeStream(kPc, s.info);
  // Every truncation either fails with a message or reads what is there.
  for (size_t n = 0; n < f.size(); n += 7) {
    SINFO* info = readStream(kPc, Bytes(f.begin(), f.begin() + n));
    if (info) {
      AUREX_freesinfo(info);
    } else {
      EXPECT_STRNE(AUREX_lasterror(), "No Error");
    }
  }
  // Random byte damage never crashes.
  std::mt19937 rng(1);
  for (int i = 0; i < 300; ++i) {
    Bytes d = f;
    for (int k = 0; k < 4; ++k) d[rng() % d.size()] = uint8_t(rng());
    SINFO* info = readStream(kPc, d);
    if (info) AUREX_freesinfo(info);
  }
  auto cs = chunks(f);
  // A channel offset beyond its chunk.
  Bytes off = f;
  gputle(&off[cs[2].pos + 16], 0x10000, 4);
  EXPECT_EQ(readStream(kPc, off), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Corrupt SND stream file.");
  // A chunk size running past the end of the file.
  Bytes size = f;
  gputle(&size[cs[3].pos + 4], 0x7FFFFFF0, 4);
  EXPECT_EQ(readStream(kPc, size), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Corrupt SND stream file.");
  // A sample count no file of this size can hold is refused before any allocation.
  Bytes h = {'P', 'T', 0, 0, 0xFD, 0x80, 0x01, 0x01, 0x85, 0x04, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(readStream(kPc, streamWith(h)), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Corrupt SND stream file.");
  Bytes ch = {'P', 'T', 0, 0, 0xFD, 0x82, 0x01, 0x05, 0xFF};
  EXPECT_EQ(readStream(kPc, streamWith(ch), false), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Corrupt SND stream file.");
}

std::vector<int> g_progress;

TEST(SndStreamWrite, ProgressComesFromChannelZeroOverTheWholeSound) {
  Sound s(SREP_QVXA_BLK, 2, 22050, 28 * 1000);
  g_progress.clear();
  AUREX_setprogress([](int p) { g_progress.push_back(p); });
  writeStream(kPc, s.info);
  AUREX_setprogress(nullptr);
  ASSERT_EQ(g_progress.size(), 1000u);  // one per frame of channel 0
  EXPECT_TRUE(std::is_sorted(g_progress.begin(), g_progress.end()));
  EXPECT_EQ(g_progress.front(), 0);
  EXPECT_EQ(g_progress.back(), 99);
}

}  // namespace
