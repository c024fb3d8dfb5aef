// AIFF/AIFC module: the written layout, loops through INST and MARK, round trips of every written
// representation, the extra encodings read, and damaged files.
#include "quillon/formats/aiff.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
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
constexpr int kAiff = 0;

void be(Bytes& b, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
// push_back only: GCC 12 misreads insert into an empty vector at -O2.
void tag(Bytes& b, const char* t) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(t[i]));
}
void append(Bytes& b, const Bytes& more) {
  for (uint8_t x : more) b.push_back(x);
}

// A COMM body: channels, frames, bits, the rate as 80-bit extended, and an AIFC type if given.
Bytes comm(int channels, uint32_t frames, int bits, uint32_t rate, const char* type = nullptr) {
  Bytes b;
  be(b, channels, 2);
  be(b, frames, 4);
  be(b, bits, 2);
  int k = 31;
  while (!(rate >> k)) --k;
  be(b, 16383 + k, 2);
  be(b, rate << (31 - k), 4);
  be(b, 0, 4);
  if (type) {
    tag(b, type);
    b.push_back(0), b.push_back(0);
  }
  return b;
}

// A FORM of `type` holding `chunks` (id, body); sizes as stated unless a body is given a size.
Bytes form(const char* type, const std::vector<std::pair<std::string, Bytes>>& chunks) {
  Bytes b;
  tag(b, "FORM");
  be(b, 0, 4);
  tag(b, type);
  for (const auto& [id, body] : chunks) {
    tag(b, id.c_str());
    be(b, static_cast<uint32_t>(body.size()), 4);
    append(b, body);
    if (body.size() & 1) b.push_back(0);
  }
  const uint32_t size = static_cast<uint32_t>(b.size() - 8);
  for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(size >> (24 - 8 * i));
  return b;
}

Bytes ssnd(const Bytes& samples) {
  Bytes b(8, 0);
  append(b, samples);
  return b;
}

// INST with a sustain loop of `mode` between markers 1 and 2.
Bytes inst(int mode) {
  Bytes b = {60, 0, 0, 127, 0, 127, 0, 0};
  be(b, mode, 2), be(b, 1, 2), be(b, 2, 2);
  be(b, 0, 6);
  return b;
}

Bytes mark(uint32_t begin, uint32_t end) {
  Bytes b;
  be(b, 2, 2);
  for (auto [id, pos] : {std::pair{1u, begin}, std::pair{2u, end}}) {
    be(b, id, 2), be(b, pos, 4);
    b.push_back(3);
    tag(b, "abc\0");  // "abc" and no pad: 1 + 3 is even
    b.pop_back();
  }
  return b;
}

class Aiff : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("aiff_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const Bytes& b) {
    const std::string p = (dir_ / "in.aif").string();
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
    return p;
  }
  static Bytes readfile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  // Element 0 through the format table after identification; null after a failure.
  static SINFO* load(const std::string& p, int* identified = nullptr) {
    gfile* f = gopen(p.c_str());
    if (!f) return nullptr;
    if (identified) *identified = AUREX_identify(f);
    SINSTANCE* inst = nullptr;
    SINFO* info = nullptr;
    if (AUREX_open(f, &inst, kAiff) > 0) {
      if (AUREX_info(inst, &info, 0) && !AUREX_read(inst, info, 0)) {
        AUREX_freesinfo(info);
        info = nullptr;
      }
      AUREX_close(inst);
    }
    gclose(f);
    return info;
  }
  bool save(SINFO* info, Bytes* out) {
    const std::string p = (dir_ / "out.aif").string();
    gfile* f = gwopen(p.c_str());
    SINSTANCE* inst = nullptr;
    bool ok = AUREX_create(f, &inst, kAiff) > 0 && AUREX_write(inst, info, 0);
    if (inst) ok = AUREX_wclose(inst) && ok;
    gclose(f);
    *out = readfile(p);
    return ok;
  }
  static SINFO* sound(int rep, int channels, int rate, int frames) {
    SINFO* info = AUREX_newsinfo();
    STIMBRE& t = info->timbres[0];
    t.samplerep = static_cast<int8_t>(rep);
    t.numchannels = static_cast<int8_t>(channels);
    t.samplerate = rate;
    t.numsamples = frames;
    EXPECT_EQ(AUREX_allocsamples(&t), 0);
    for (int c = 0; c < channels; ++c)
      for (int i = 0; i < frames; ++i)
        t.samples[c][i] = static_cast<int16_t>(15000 * std::sin(i * (0.01 + 0.004 * c)));
    return info;
  }

  fs::path dir_;
};

TEST_F(Aiff, WrittenLayoutMatchesTheTable) {
  // 1001 mono 8-bit frames: SSND size 1009 and a pad byte.
  SINFO* info = sound(SREP_S8_INT, 1, 22050, 1001);
  Bytes b;
  ASSERT_TRUE(save(info, &b)) << AUREX_lasterror();
  ASSERT_EQ(b.size(), 8u + 74 + 1001 + 1);
  EXPECT_EQ(ggetbe(&b[4], 4), 74u + 1001 + 1);
  EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 12), "AIFF");
  EXPECT_EQ(ggetbe(&b[16], 4), 18u);  // COMM
  EXPECT_EQ(ggetbe(&b[26], 2), 8u);   // bits
  const Bytes rate = {0x40, 0x0D, 0xAC, 0x44, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(b.begin() + 28, b.begin() + 38), rate);
  EXPECT_EQ(std::string(b.begin() + 38, b.begin() + 42), "INST");
  EXPECT_EQ(std::string(b.begin() + 66, b.begin() + 70), "SSND");
  EXPECT_EQ(ggetbe(&b[70], 4), 1009u);
  EXPECT_EQ(b.back(), 0);
  AUREX_freesinfo(info);

  // AIFC for DVI, with the loop's MARK chunk.
  info = sound(SREP_DVI_INT, 2, 44100, 6000);
  info->timbres[0].loopstart = 1000;
  info->timbres[0].loopend = 4999;
  ASSERT_TRUE(save(info, &b)) << AUREX_lasterror();
  EXPECT_EQ(ggetbe(&b[4], 4), 94u + 42 + 6000);
  EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 12), "AIFC");
  EXPECT_EQ(ggetbe(&b[16], 4), 38u);
  EXPECT_EQ(std::string(b.begin() + 38, b.begin() + 42), "ADP4");
  EXPECT_EQ(b[42], 14);
  EXPECT_EQ(std::string(b.begin() + 43, b.begin() + 58), std::string("DVI 4:1 ADPCM \0", 15));
  const size_t instat = 58;
  EXPECT_EQ(std::string(b.begin() + instat, b.begin() + instat + 4), "INST");
  EXPECT_EQ(Bytes(b.begin() + instat + 16, b.begin() + instat + 22), (Bytes{0, 1, 0, 1, 0, 2}));
  const size_t markat = instat + 28;
  EXPECT_EQ(std::string(b.begin() + markat, b.begin() + markat + 4), "MARK");
  EXPECT_EQ(ggetbe(&b[markat + 12], 4), 1000u);
  EXPECT_EQ(std::string(b.begin() + markat + 17, b.begin() + markat + 25), "beg loop");
  EXPECT_EQ(ggetbe(&b[markat + 28], 4), 5000u);
  AUREX_freesinfo(info);
}

TEST_F(Aiff, RoundTripsEveryWrittenRepresentation) {
  for (int rep : {SREP_S16B_INT, SREP_S8_INT, SREP_DVI_INT}) {
    for (int channels : {1, 2}) {
      for (int rate : {8000, 22050, 44100, 48000}) {
        SCOPED_TRACE(testing::Message() << AUREX_samplerepshortname(rep) << " " << channels << " " << rate);
        SINFO* info = sound(rep, channels, rate, 6001);
        info->timbres[0].loopstart = 1000;
        info->timbres[0].loopend = 4999;
        Bytes b;
        ASSERT_TRUE(save(info, &b)) << AUREX_lasterror();
        int format = -1;
        SINFO* back = load((dir_ / "out.aif").string(), &format);
        ASSERT_NE(back, nullptr) << AUREX_lasterror();
        EXPECT_EQ(format, kAiff);
        const STIMBRE &t = info->timbres[0], &r = back->timbres[0];
        EXPECT_EQ(r.samplerep, rep);
        EXPECT_EQ(r.samplerate, rate);
        EXPECT_EQ(r.numsamples, 6001);
        EXPECT_EQ(r.loopstart, 1000);
        EXPECT_EQ(r.loopend, 4999);
        for (int c = 0; c < channels; ++c) {
          int worst = 0;
          for (int i = 0; i < 6001; ++i) worst = std::max(worst, std::abs(t.samples[c][i] - r.samples[c][i]));
          EXPECT_LE(worst, rep == SREP_S16B_INT ? 0 : rep == SREP_S8_INT ? 255 : 2500) << c;
        }
        AUREX_freesinfo(back);
        AUREX_freesinfo(info);
      }
    }
  }
}

TEST_F(Aiff, ReadsTheEncodingsEditorsExport) {
  struct Case {
    const char* name;
    Bytes file;
    int rep;
    std::vector<int16_t> expect;
  };
  const Case cases[] = {
      {"12-bit",
       form("AIFF", {{"COMM", comm(1, 2, 12, 8000)}, {"SSND", ssnd({0x12, 0x30, 0xFF, 0xF0})}}),
       SREP_S16B_INT,
       {0x1230, -16}},
      {"24-bit",
       form("AIFF", {{"COMM", comm(1, 2, 24, 8000)}, {"SSND", ssnd({0x12, 0x34, 0x80, 0x80, 0x00, 0x00})}}),
       SREP_S16B_INT,
       {0x1235, -32768}},
      {"32-bit",
       form("AIFF", {{"COMM", comm(1, 1, 32, 8000)}, {"SSND", ssnd({0x7F, 0xFF, 0xFF, 0xFF})}}),
       SREP_S16B_INT,
       {32767}},
      {"sowt",
       form("AIFC", {{"COMM", comm(1, 2, 16, 8000, "sowt")}, {"SSND", ssnd({0x34, 0x12, 0x00, 0x80})}}),
       SREP_S16L_INT,
       {0x1234, -32768}},
      {"fl32",
       form("AIFC", {{"COMM", comm(1, 2, 32, 8000, "fl32")}, {"SSND", ssnd({0x3F, 0, 0, 0, 0xC0, 0, 0, 0})}}),
       SREP_S16B_INT,
       {16384, -32768}},
      {"NONE",
       form("AIFC", {{"COMM", comm(1, 1, 8, 8000, "NONE")}, {"SSND", ssnd({0x80})}}),
       SREP_S8_INT,
       {-32768}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes file = c.file;
    file.resize(std::max<size_t>(file.size(), 50));  // identify wants 50 bytes
    int format = -1;
    SINFO* info = load(write(file), &format);
    ASSERT_NE(info, nullptr) << AUREX_lasterror();
    EXPECT_EQ(format, kAiff);
    const STIMBRE& t = info->timbres[0];
    EXPECT_EQ(t.samplerep, c.rep);
    EXPECT_EQ(std::vector<int16_t>(t.samples[0], t.samples[0] + t.numsamples), c.expect);
    AUREX_freesinfo(info);
  }
}

TEST_F(Aiff, LoopsOnlyFromAForwardSustainLoop) {
  const Bytes data(200, 0);
  for (int mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    SINFO* info = load(write(form("AIFF", {{"MARK", mark(10, 60)},
                                           {"COMM", comm(1, 100, 16, 22050)},
                                           {"INST", inst(mode)},
                                           {"SSND", ssnd(data)}})));
    ASSERT_NE(info, nullptr) << AUREX_lasterror();
    EXPECT_EQ(info->timbres[0].loopstart, mode == 1 ? 10 : -1);
    EXPECT_EQ(info->timbres[0].loopend, mode == 1 ? 59 : -1);
    AUREX_freesinfo(info);
  }
  // "User" application data is kept whole, other signatures are not.
  Bytes user = {'U', 's', 'e', 'r', 1, 2, 3};
  SINFO* info = load(write(form("AIFF", {{"APPL", user},
                                         {"APPL", {'a', 'b', 'c', 'd', 9}},
                                         {"COMM", comm(1, 1, 16, 22050)},
                                         {"SSND", ssnd({0, 0})}})));
  ASSERT_NE(info, nullptr) << AUREX_lasterror();
  const STIMBRE& t = info->timbres[0];
  ASSERT_EQ(t.userdatasize[3], 7);
  EXPECT_EQ(std::memcmp(t.userdata[3], user.data(), 7), 0);
  EXPECT_EQ(t.userdata[2], nullptr);
  AUREX_freesinfo(info);
}

TEST_F(Aiff, DamagedFilesFailWithTheirMessage) {
  const Bytes data(200, 0);
  Bytes commpast = form("AIFF", {{"COMM", comm(1, 100, 16, 22050)}, {"SSND", ssnd(data)}});
  commpast[16] = 0x7F;  // COMM size past the end of the file
  Bytes ssndpast = form("AIFF", {{"COMM", comm(1, 100, 16, 22050)}, {"SSND", ssnd(data)}});
  ssndpast[42] = 0x7F;
  struct Case {
    const char* name;
    Bytes file;
    const char* message;
  };
  const Case cases[] = {
      {"comm past end", commpast, "Corrupt AIFF file."},
      {"ssnd past end", ssndpast, "Corrupt AIFF file."},
      {"zero chunk", form("AIFF", {{"COMM", comm(1, 100, 16, 22050)}, {"ANNO", {}}, {"SSND", ssnd(data)}}),
       "AIFF file had a chunk of size zero.  Aborting."},
      {"7 bits", form("AIFF", {{"COMM", comm(1, 100, 7, 22050)}, {"SSND", ssnd(data)}}),
       "Unsupported bitspersample in AIFF importer."},
      {"40 bits", form("AIFF", {{"COMM", comm(1, 100, 40, 22050)}, {"SSND", ssnd(data)}}),
       "Unsupported bitspersample in AIFF importer."},
      {"loop outside",
       form("AIFF", {{"COMM", comm(1, 100, 16, 22050)},
                     {"INST", inst(1)},
                     {"MARK", mark(10, 101)},
                     {"SSND", ssnd(data)}}),
       "AIFF loop marker lies outside the sound."},
      {"rate", form("AIFF", {{"COMM", comm(1, 100, 16, 999)}, {"SSND", ssnd(data)}}),
       "Unsupported sample rate in AIFF importer."},
      {"short data", form("AIFF", {{"COMM", comm(2, 100, 16, 22050)}, {"SSND", ssnd(data)}}),
       "Couldn't read 16-bit samples from file."},
      {"no ssnd", form("AIFF", {{"COMM", comm(1, 100, 16, 22050)}, {"ANNO", Bytes(40)}}),
       "Couldn't find the SSND chunk."},
      {"other aifc", form("AIFC", {{"COMM", comm(1, 100, 16, 22050, "ima4")}, {"SSND", ssnd(data)}}),
       "Unsupported AIFC compression type."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(load(write(c.file)), nullptr);
    EXPECT_STREQ(AUREX_lasterror(), c.message);
  }
  int format = 0;
  load(write(cases[std::size(cases) - 1].file), &format);
  EXPECT_EQ(format, -1);  // an AIFC type this module does not read is not identified
}

}  // namespace
