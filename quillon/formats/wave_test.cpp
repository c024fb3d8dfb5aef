#include "quillon/formats/wave.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void put(Bytes& b, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put(Bytes& b, const char* tag) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(tag[i]));
}

// A format body; `subtag` >= 0 makes it an extensible one with that sub-format.
Bytes fmtbody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, int subtag = -1) {
  Bytes b;
  put(b, subtag >= 0 ? 0xFFFE : tag, 2);
  put(b, channels, 2);
  put(b, rate, 4);
  put(b, channels * bits / 8 * rate, 4);
  put(b, channels * bits / 8, 2);
  put(b, bits, 2);
  if (subtag >= 0) {
    put(b, 22, 2);
    put(b, bits, 2);
    put(b, 0, 4);  // channel mask
    put(b, static_cast<uint32_t>(subtag), 2);
    const uint8_t tail[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    b.insert(b.end(), tail, tail + 14);
  }
  return b;
}

// A RIFF/WAVE file of `chunks` (id, body), with RIFF sizes filled in.
Bytes riff(const std::vector<std::pair<std::string, Bytes>>& chunks) {
  Bytes b;
  put(b, "RIFF");
  put(b, 0, 4);
  put(b, "WAVE");
  for (const auto& [id, body] : chunks) {
    put(b, id.c_str());
    put(b, static_cast<uint32_t>(body.size()), 4);
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() & 1) b.push_back(0);
  }
  const uint32_t size = static_cast<uint32_t>(b.size() - 8);
  for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(size >> (8 * i));
  return b;
}

// The format body first, then `chunks`.
Bytes makewav(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
              std::vector<std::pair<std::string, Bytes>> chunks) {
  chunks.insert(chunks.begin(), {"fmt ", fmtbody(tag, channels, rate, bits)});
  return riff(chunks);
}

class Wave : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("wave_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const Bytes& b, const char* name = "in.wav") {
    const std::string p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
    return p;
  }
  static Bytes readfile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  // Reads element 0 through the format table; null after a failure (message in last error).
  static SINFO* load(const std::string& p) {
    gfile* f = gopen(p.c_str());
    if (!f) return nullptr;
    SINSTANCE* inst = nullptr;
    SINFO* info = nullptr;
    if (AUREX_open(f, &inst, AUREX_FORMAT_WAVE) > 0) {
      if (AUREX_info(inst, &info, 0) && !AUREX_read(inst, info, 0)) {
        AUREX_freesinfo(info);
        info = nullptr;
      }
      AUREX_close(inst);
    }
    gclose(f);
    return info;
  }
  static bool save(const std::string& p, SINFO* info) {
    gfile* f = gwopen(p.c_str());
    SINSTANCE* inst = nullptr;
    bool ok = AUREX_create(f, &inst, AUREX_FORMAT_WAVE) > 0;
    ok = ok && AUREX_write(inst, info, 0);
    if (inst) ok = AUREX_wclose(inst) && ok;
    gclose(f);
    return ok;
  }
  static int identify(const std::string& p) {
    gfile* f = gopen(p.c_str());
    const int format = AUREX_identify(f);
    gclose(f);
    return format;
  }

  fs::path dir_;
};

TEST_F(Wave, IdentifiesPcmFloatAndExtensible) {
  const Bytes data = Bytes(8);
  struct Case {
    Bytes file;
    bool wave;
  };
  const Case cases[] = {
      {makewav(1, 2, 44100, 16, {{"data", data}}), true},
      {makewav(3, 2, 44100, 32, {{"data", data}}), true},
      {riff({{"fmt ", fmtbody(0, 2, 44100, 24, 1)}, {"data", data}}), true},
      {riff({{"JUNK", Bytes(28)}, {"fmt ", fmtbody(1, 2, 44100, 16)}, {"data", data}}), true},
      {makewav(2, 2, 44100, 4, {{"data", data}}), false},        // an ADPCM tag
      {makewav(0xFFFE, 2, 44100, 16, {{"data", data}}), false},  // extensible without its GUID
      {riff({{"fmt ", fmtbody(0, 2, 44100, 16, 2)}, {"data", data}}), false},
      {riff({{"data", data}}), false},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(identify(write(cases[i].file)), cases[i].wave ? AUREX_FORMAT_WAVE : -1);
  }
  Bytes notriff = cases[0].file;
  notriff[0] = 'X';
  EXPECT_EQ(identify(write(notriff)), -1);
  EXPECT_EQ(identify(write(Bytes(notriff.begin(), notriff.begin() + 30))), -1);
}

TEST_F(Wave, InfoFailures) {
  struct Case {
    Bytes file;
    const char* message;
  };
  const Case cases[] = {
      {makewav(2, 1, 8000, 4, {{"data", Bytes(8)}}), "Unrecognized wave format tag."},
      {makewav(1, 1, 8000, 7, {{"data", Bytes(9)}}), "Unsupported bits per sample in Wave importer."},
      {makewav(1, 1, 8000, 40, {{"data", Bytes(10)}}), "Unsupported bits per sample in Wave importer."},
      {makewav(3, 1, 8000, 16, {{"data", Bytes(10)}}), "Unsupported bits per sample in Wave importer."},
      {makewav(1, 1, 8000, 16, {{"LIST", Bytes(10)}}), "Coudn't find data chunk."},
      {makewav(1, 0, 8000, 16, {{"data", Bytes(8)}}), "Unsupported number of channels in Wave importer."},
      {makewav(1, 6, 8000, 16, {{"data", Bytes(24)}}), "Unsupported number of channels in Wave importer."},
      {Bytes{'R', 'I', 'F', 'F'}, "Couldn't read from file."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(load(write(c.file)), nullptr);
    EXPECT_STREQ(AUREX_lasterror(), c.message);
  }
}

// Every container an editor exports arrives as 16 bits, rounded, with floats clipped to +-1.0.
TEST_F(Wave, WideAndFloatSamplesRoundToSixteenBits) {
  const auto le = [](std::initializer_list<uint64_t> values, int width) {
    Bytes b;
    for (uint64_t v : values)
      for (int i = 0; i < width; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
  };
  const auto floats = [](std::initializer_list<float> values) {
    Bytes b;
    for (float x : values) {
      uint32_t u;
      std::memcpy(&u, &x, 4);
      put(b, u, 4);
    }
    return b;
  };
  const auto doubles = [](std::initializer_list<double> values) {
    Bytes b;
    for (double x : values) {
      uint64_t u;
      std::memcpy(&u, &x, 8);
      put(b, static_cast<uint32_t>(u), 4);
      put(b, static_cast<uint32_t>(u >> 32), 4);
    }
    return b;
  };
  struct Case {
    const char* name;
    Bytes fmt;
    Bytes data;
    std::vector<int16_t> expect;
  };
  const Case cases[] = {
      {"s24",
       fmtbody(1, 1, 48000, 24),
       le({0x123480, 0x12347F, 0x7FFFFF, 0x800000, 0xFFFFFF}, 3),
       {0x1235, 0x1234, 32767, -32768, 0}},
      {"s32",
       fmtbody(1, 1, 48000, 32),
       le({0x12348000, 0x7FFFFFFF, 0x80000000, 0xFFFF8000}, 4),
       {0x1235, 32767, -32768, 0}},
      {"f32",
       fmtbody(3, 1, 48000, 32),
       floats({0.5f, -1.0f, 1.0f, 2.5f, -7.0f, 0.25f / 32768}),
       {16384, -32768, 32767, 32767, -32768, 0}},
      {"f64", fmtbody(3, 1, 48000, 64), doubles({-0.5, 1e9}), {-16384, 32767}},
      {"ext_s24", fmtbody(0, 1, 48000, 24, 1), le({0x000180}, 3), {2}},
      {"ext_f32", fmtbody(0, 1, 48000, 32, 3), floats({-0.25f}), {-8192}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SINFO* info = load(write(riff({{"fmt ", c.fmt}, {"data", c.data}})));
    ASSERT_NE(info, nullptr) << AUREX_lasterror();
    const STIMBRE& t = info->timbres[0];
    EXPECT_EQ(t.samplerep, SREP_S16L_INT);
    ASSERT_EQ(t.numsamples, static_cast<int>(c.expect.size()));
    EXPECT_EQ(std::vector<int16_t>(t.samples[0], t.samples[0] + t.numsamples), c.expect);
    AUREX_freesinfo(info);
  }
}

TEST_F(Wave, ExtensibleKeepsTheFirstFourChannels) {
  Bytes data;
  for (int frame = 0; frame < 3; ++frame)
    for (int c = 0; c < 6; ++c) put(data, static_cast<uint32_t>((frame * 6 + c) * 256 + 0x80), 3);
  SINFO* info =
      load(write(riff({{"JUNK", Bytes(30)}, {"fmt ", fmtbody(0, 6, 44100, 24, 1)}, {"data", data}})));
  ASSERT_NE(info, nullptr) << AUREX_lasterror();
  const STIMBRE& t = info->timbres[0];
  ASSERT_EQ(t.numchannels, 4);
  ASSERT_EQ(t.numsamples, 3);
  for (int c = 0; c < 4; ++c)
    for (int frame = 0; frame < 3; ++frame) EXPECT_EQ(t.samples[c][frame], frame * 6 + c + 1);
  AUREX_freesinfo(info);
}

TEST_F(Wave, FrameCountFromDataSize) {
  // Stereo 16-bit data of 10 bytes: 10 / 2 channels = 5, halved to 2 frames.
  SINFO* info = load(write(makewav(1, 2, 22050, 16, {{"data", Bytes(10, 0)}})));
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->timbres[0].numsamples, 2);
  EXPECT_EQ(info->timbres[0].numchannels, 2);
  EXPECT_EQ(info->timbres[0].samplerate, 22050);
  EXPECT_EQ(info->timbres[0].samplerep, SREP_S16L_INT);
  AUREX_freesinfo(info);
}

TEST_F(Wave, DataTextInsideOtherChunksIsNotSound) {
  Bytes list;
  const char text[] = "INFOICMT\x0c\0\0\0metadata....";
  list.assign(text, text + sizeof text - 1);
  const Bytes sound = {0x01, 0x00, 0xFF, 0x7F, 0x00, 0x80};
  SINFO* info = load(write(makewav(1, 1, 8000, 16, {{"LIST", list}, {"data", sound}})));
  ASSERT_NE(info, nullptr);
  ASSERT_EQ(info->timbres[0].numsamples, 3);
  EXPECT_EQ(info->timbres[0].samples[0][0], 1);
  EXPECT_EQ(info->timbres[0].samples[0][1], 32767);
  EXPECT_EQ(info->timbres[0].samples[0][2], -32768);
  AUREX_freesinfo(info);
}

TEST_F(Wave, TruncatedDataFailsWithoutAllocatingTheClaim) {
  Bytes b = makewav(1, 2, 44100, 16, {{"data", Bytes(16, 0)}});
  b[40] = 0xF0;  // data size claims 0x7FFFFFF0 bytes
  b[41] = 0xFF;
  b[42] = 0xFF;
  b[43] = 0x7F;
  EXPECT_EQ(load(write(b)), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Couldn't read 16-bit samples from file.");
}

TEST_F(Wave, WritesAndReadsBackEveryLayout) {
  for (int rep : {SREP_S16L_INT, SREP_U8_INT}) {
    for (int channels = 1; channels <= 4; ++channels) {
      SCOPED_TRACE(testing::Message() << AUREX_samplerepshortname(rep) << " " << channels);
      SINFO* info = AUREX_newsinfo();
      STIMBRE& t = info->timbres[0];
      t.numchannels = static_cast<int8_t>(channels);
      t.samplerate = 8000 * channels;
      t.numsamples = 101;  // odd: a mono 8-bit file then has an odd data size
      t.samplerep = static_cast<int8_t>(rep);
      ASSERT_EQ(AUREX_allocsamples(&t), 0);
      for (int c = 0; c < channels; ++c)
        for (int i = 0; i < t.numsamples; ++i)
          t.samples[c][i] = static_cast<int16_t>((i * 997 + c * 5000) * 13);
      const std::string a = (dir_ / "a.wav").string(), b = (dir_ / "b.wav").string();
      ASSERT_TRUE(save(a, info)) << AUREX_lasterror();
      ASSERT_TRUE(save(b, info));
      const Bytes bytes = readfile(a);
      EXPECT_EQ(bytes, readfile(b));
      const size_t bytesper = rep == SREP_U8_INT ? 1 : 2;
      ASSERT_EQ(bytes.size(), 44 + 101 * channels * bytesper);  // no pad byte
      EXPECT_EQ(ggetle(bytes.data() + 4, 4), bytes.size() - 8);
      EXPECT_EQ(ggetle(bytes.data() + 40, 4), 101 * channels * bytesper);
      EXPECT_EQ(std::memcmp(bytes.data() + 36, "data", 4), 0);

      SINFO* back = load(a);
      ASSERT_NE(back, nullptr) << AUREX_lasterror();
      const STIMBRE& r = back->timbres[0];
      EXPECT_EQ(r.numsamples, 101);
      EXPECT_EQ(r.samplerate, 8000 * channels);
      EXPECT_EQ(r.samplerep, rep);
      for (int c = 0; c < channels; ++c)
        for (int i = 0; i < 101; ++i) {
          const int16_t expect =
              rep == SREP_U8_INT ? static_cast<int16_t>(t.samples[c][i] & ~0xFF) : t.samples[c][i];
          ASSERT_EQ(r.samples[c][i], expect) << c << " " << i;
        }
      AUREX_freesinfo(back);
      AUREX_freesinfo(info);
    }
  }
}

TEST_F(Wave, OnlyElementZero) {
  SINFO* info = AUREX_newsinfo();
  info->timbres[0].samplerep = SREP_S16L_INT;
  gfile* f = gwopen((dir_ / "x.wav").string().c_str());
  SINSTANCE* inst = nullptr;
  ASSERT_GT(AUREX_create(f, &inst, AUREX_FORMAT_WAVE), 0);
  EXPECT_EQ(AUREX_write(inst, info, 1), 0);
  EXPECT_STREQ(AUREX_lasterror(), "WAVE files can only contain element 0.");
  AUREX_wclose(inst);
  gclose(f);

  f = gopen(write(makewav(1, 1, 8000, 16, {{"data", Bytes(4)}})).c_str());
  ASSERT_GT(AUREX_open(f, &inst, AUREX_FORMAT_WAVE), 0);
  SINFO* out = nullptr;
  EXPECT_EQ(AUREX_info(inst, &out, 1), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "An attempt to get info from an element other than 0 was made.");
  AUREX_close(inst);
  gclose(f);
  AUREX_freesinfo(info);
}

}  // namespace
