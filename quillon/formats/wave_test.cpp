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

// A RIFF/WAVE file: the format body first, then `chunks` (id, body), with RIFF sizes filled in.
Bytes makewav(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
              const std::vector<std::pair<std::string, Bytes>>& chunks) {
  Bytes b;
  put(b, "RIFF");
  put(b, 0, 4);
  put(b, "WAVE");
  put(b, "fmt ");
  put(b, 16, 4);
  put(b, tag, 2);
  put(b, channels, 2);
  put(b, rate, 4);
  put(b, channels * bits / 8 * rate, 4);
  put(b, channels * bits / 8, 2);
  put(b, bits, 2);
  for (const auto& [id, body] : chunks) {
    put(b, id.c_str());
    put(b, static_cast<uint32_t>(body.size()), 4);
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() & 1) b.push_back(0);
  }
  const uint32_t riff = static_cast<uint32_t>(b.size() - 8);
  for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
  return b;
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

TEST_F(Wave, IdentifiesPcmOnly) {
  const Bytes pcm = makewav(1, 2, 44100, 16, {{"data", Bytes(8)}});
  EXPECT_EQ(identify(write(pcm)), AUREX_FORMAT_WAVE);
  for (uint16_t tag : {3, 0xFFFE})
    EXPECT_EQ(identify(write(makewav(tag, 2, 44100, 16, {{"data", Bytes(8)}}))), -1);
  Bytes notriff = pcm;
  notriff[0] = 'X';
  EXPECT_EQ(identify(write(notriff)), -1);
  EXPECT_EQ(identify(write(Bytes(pcm.begin(), pcm.begin() + 30))), -1);
}

TEST_F(Wave, InfoFailures) {
  struct Case {
    Bytes file;
    const char* message;
  };
  const Case cases[] = {
      {makewav(3, 1, 8000, 32, {{"data", Bytes(8)}}), "Unrecognized wave format tag."},
      {makewav(1, 1, 8000, 24, {{"data", Bytes(9)}}), "Unsupported bits per sample in Wave importer."},
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
