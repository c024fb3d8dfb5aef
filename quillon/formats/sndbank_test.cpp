// SND patches and banks: layout, sharing, the writer's rules, round trips through every bank
// module, and the reader's defences against corrupt files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "quillon/formats/consoletest.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"

namespace {

using namespace consoletest;

const int kPcBank = formatnamed("pcbank");
const int kPsxBank = formatnamed("psxbank");
const int kN64Bank = formatnamed("n64bank");
const int kMacBank = formatnamed("macbank");
const int kPs2Bank = formatnamed("ps2bank");

uint32_t word(const Bytes& b, size_t at, bool big) {
  return big ? ggetbe(&b[at], 4) : ggetle(&b[at], 4);
}

size_t occurrences(const Bytes& hay, const uint8_t* needle, size_t n) {
  size_t count = 0;
  for (size_t i = 0; i + n <= hay.size(); ++i)
    if (std::memcmp(&hay[i], needle, n) == 0) ++count;
  return count;
}

// Finds the first fixed 4-byte value of `tag` after position `from`.
size_t fixedvalue(const Bytes& f, uint8_t tag, size_t from) {
  for (size_t i = from; i + 6 <= f.size(); ++i)
    if (f[i] == tag && f[i + 1] == 4) return i + 2;
  return 0;
}

// Gives the sound a scaling table, a three-point envelope and some instrument fields.
void decorate(STIMBRE& t, uint8_t seed) {
  t.paramblock[0] = galloc(128);
  for (int i = 0; i < 128; ++i) static_cast<uint8_t*>(t.paramblock[0])[i] = uint8_t(seed + 3 * i);
  t.instH = 3;
  for (int i = 0; i < 3; ++i) {
    t.envelope[i][0] = 1000 * (i + 1) + seed;
    t.envelope[i][1] = 100 - i;
  }
  t.pan = 10;
  t.volume = 90;
  t.rootnote = 48;
  t.reverb = 20;
}

TEST(SndBank, IdenticalElementsShareTablesAndSamples) {
  Sound a(SREP_S16L_BLK, 1, 22050, 500), b(SREP_S16L_BLK, 1, 22050, 500), c(SREP_S16L_BLK, 1, 22050, 500, 2);
  decorate(a.t(), 7);
  decorate(b.t(), 7);
  decorate(c.t(), 9);
  const Bytes two = writefile(kPcBank, {a.info, b.info});
  ASSERT_FALSE(two.empty()) << AUREX_lasterror();
  const Bytes one = writefile(kPcBank, {a.info});
  EXPECT_EQ(word(two, 12, false), word(one, 12, false)) << "one sample block for both";
  const size_t d0 = fixedvalue(two, 0x88, 20 + word(two, 20, false));
  const size_t d1 = fixedvalue(two, 0x88, 24 + word(two, 24, false));
  EXPECT_NE(d0, d1);
  EXPECT_EQ(ggetbe(&two[d0], 4), ggetbe(&two[d1], 4));
  EXPECT_EQ(occurrences(two, static_cast<uint8_t*>(a.t().paramblock[0]), 128), 1u);
  EXPECT_EQ(occurrences(two, reinterpret_cast<const uint8_t*>(a.t().samples[0]), 1000), 1u);
  const Bytes three = writefile(kPcBank, {a.info, b.info, c.info});
  EXPECT_EQ(occurrences(three, reinterpret_cast<const uint8_t*>(c.t().samples[0]), 1000), 1u);

  Opened o(two, kPcBank);
  ASSERT_EQ(o.elements, 2);
  for (int e = 0; e < 2; ++e) {
    SINFO* back = o.read(e);
    ASSERT_NE(back, nullptr) << AUREX_lasterror();
    const STIMBRE& t = back->timbres[0];
    EXPECT_EQ(0, std::memcmp(t.paramblock[0], a.t().paramblock[0], 128));
    EXPECT_EQ(t.envelope[2][0], 3007);
    EXPECT_EQ(t.envelope[2][1], 98);
    EXPECT_EQ(t.pan, 10);
    EXPECT_EQ(t.volume, 90);
    EXPECT_EQ(t.rootnote, 48);
    EXPECT_EQ(t.reverb, 20);
    EXPECT_EQ(0, std::memcmp(t.samples[0], a.t().samples[0], 1000));
    AUREX_freesinfo(back);
  }
}

TEST(SndBank, EmptyElementsBetweenUsedOnes) {
  Sound a(SREP_S16L_BLK, 1, 22050, 100), b(SREP_S16L_BLK, 2, 11025, 50);
  const Bytes f = writefile(kPcBank, {a.info, b.info}, nullptr, {0, 5});
  ASSERT_FALSE(f.empty()) << AUREX_lasterror();
  EXPECT_EQ(0, std::memcmp(f.data(), "BNKl", 4));
  EXPECT_EQ(f[4], 4);
  EXPECT_EQ(ggetle(&f[6], 2), 6u);
  for (int e = 1; e <= 4; ++e) EXPECT_EQ(word(f, 20 + 4 * e, false), 0u) << e;
  EXPECT_EQ(word(f, 8, false) + word(f, 12, false), f.size()) << "the loaded area runs to the end";
  EXPECT_EQ(word(f, 8, false) % 16, 0u);
  Opened o(f, kPcBank);
  EXPECT_EQ(o.identify(), kPcBank);
  ASSERT_EQ(o.elements, 6);
  EXPECT_EQ(o.read(3), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Can't read empty bank element.");
  EXPECT_EQ(o.read(6), nullptr);
  EXPECT_STREQ(AUREX_lasterror(), "Can't read empty bank element.");
  SINFO* five = o.read(5);
  ASSERT_NE(five, nullptr) << AUREX_lasterror();
  EXPECT_EQ(five->timbres[0].numchannels, 2);
  EXPECT_EQ(five->timbres[0].samplerate, 11025);
  EXPECT_EQ(0, std::memcmp(five->timbres[0].samples[1], b.t().samples[1], 100));
  AUREX_freesinfo(five);
}

TEST(SndBank, EveryModuleRoundTripsWhatItReadsAndWrites) {
  struct Case {
    int format;
    bool big;
    std::vector<int> reps;
  };
  const Case cases[] = {
      {kPcBank, false, {SREP_S16L_BLK, SREP_S8_BLK, SREP_QVXA_BLK, SREP_LAYER1}},
      {kPsxBank, false, {SREP_VAG_BLK}},
      {kN64Bank, true, {SREP_S16B_BLK}},
      {kMacBank, true, {SREP_S8_BLK, SREP_S16B_BLK, SREP_QVXA_BLK}},
      {kPs2Bank, false, {SREP_VAG_BLK, SREP_QVXA_BLK, SREP_S16L_BLK, SREP_LAYER1, SREP_LAYER2}},
  };
  for (const Case& c : cases) {
    for (const int rep : c.reps) {
      const bool mpeg = rep == SREP_LAYER1 || rep == SREP_LAYER2;
      const int channels = mpeg ? 1 : 2;
      Sound s(rep, channels, mpeg ? 44100 : 22050, mpeg ? 4608 : 2800);
      s.t().loopstart = 280;
      s.t().loopend = s.t().numsamples - 1;
      s.t().playloc = rep == SREP_VAG_BLK ? 8 : 4;  // PS2: only VAG plays from sound memory
      const Bytes f = writefile(c.format, {s.info});
      ASSERT_FALSE(f.empty()) << c.format << " " << rep << " " << AUREX_lasterror();
      EXPECT_EQ(0, std::memcmp(f.data(), c.big ? "BNKb" : "BNKl", 4));
      Opened o(f, c.format);
      EXPECT_EQ(o.identify(), c.format) << c.format;
      SINFO* back = o.read(0);
      ASSERT_NE(back, nullptr) << c.format << " " << rep << " " << AUREX_lasterror();
      const STIMBRE& t = back->timbres[0];
      EXPECT_EQ(t.samplerep, rep);
      EXPECT_EQ(t.numchannels, channels);
      EXPECT_EQ(t.numsamples, s.t().numsamples);
      EXPECT_EQ(t.loopstart, 280) << rep;
      EXPECT_EQ(t.loopend, s.t().numsamples - 1) << rep;
      const bool exact = rep == SREP_S16L_BLK || rep == SREP_S16B_BLK;
      for (int ch = 0; ch < channels && !mpeg; ++ch) {
        if (exact)
          EXPECT_EQ(0, std::memcmp(t.samples[ch], s.t().samples[ch], size_t(t.numsamples) * 2));
        else
          EXPECT_GT(snrdb(s.t().samples[ch], t.samples[ch], t.numsamples), 20.0) << c.format << " " << rep;
      }
      AUREX_freesinfo(back);
    }
  }
}

TEST(SndBank, N64BlocksCarryTheirCodebook) {
  Sound s(SREP_N64_BLK, 1, 22050, 1000);
  const Bytes f = writefile(kN64Bank, {s.info});
  ASSERT_FALSE(f.empty()) << AUREX_lasterror();
  const uint32_t data = ggetbe(&f[8], 4);
  EXPECT_EQ(f.size() - data, size_t(63 * 9 + 16 - (63 * 9) % 16));
  Opened o(f, kN64Bank);
  SINFO* info = nullptr;
  ASSERT_TRUE(AUREX_info(o.inst, &info, 0)) << AUREX_lasterror();
  EXPECT_EQ(info->timbres[0].samplerep, SREP_N64_BLK);
  EXPECT_FALSE(AUREX_read(o.inst, info, 0));
  EXPECT_STREQ(AUREX_lasterror(), "Unsupported sample import format.");
  AUREX_freesinfo(info);
  // The side data block (tag 0x98) holds the 128-byte book.
  bool found = false;
  for (size_t i = 24; i + 2 < data && !found; ++i) found = f[i] == 0x98 && f[i + 1] == 128;
  EXPECT_TRUE(found);
}

TEST(SndBank, Ps2PlayLocations) {
  Sound mainvag(SREP_VAG_BLK, 1, 22050, 100);
  mainvag.t().playloc = 4;
  int r = -1;
  writefile(kPs2Bank, {mainvag.info}, &r);
  EXPECT_EQ(r, 0);
  EXPECT_STREQ(AUREX_lasterror(), "SND PS2 bank files with maincpu play location can't use VAG samplerep.");

  // Sound memory forces VAG; the main memory blocks come first and the loaded area starts after them.
  Sound spu(SREP_S16L_BLK, 1, 22050, 280), cpu(SREP_S16L_BLK, 1, 22050, 300, 3);
  spu.t().playloc = 0;
  cpu.t().playloc = 4;
  const Bytes f = writefile(kPs2Bank, {spu.info, cpu.info});
  ASSERT_FALSE(f.empty()) << AUREX_lasterror();
  Opened o(f, kPs2Bank);
  SINFO* e0 = o.read(0);
  SINFO* e1 = o.read(1);
  ASSERT_TRUE(e0 && e1) << AUREX_lasterror();
  EXPECT_EQ(e0->timbres[0].samplerep, SREP_VAG_BLK);
  EXPECT_EQ(e0->timbres[0].playloc, 8);
  EXPECT_EQ(e1->timbres[0].playloc, 4);
  const size_t cpuat = occurrences(f, reinterpret_cast<const uint8_t*>(cpu.t().samples[0]), 600) ? 0 : 1;
  EXPECT_EQ(cpuat, 0u);
  const uint32_t loaded = ggetle(&f[8], 4);
  EXPECT_EQ(0, std::memcmp(&f[loaded - 608], cpu.t().samples[0], 600)) << "main memory block ends at field 8";
  EXPECT_EQ(loaded + ggetle(&f[12], 4), f.size());
  AUREX_freesinfo(e0);
  AUREX_freesinfo(e1);
}

TEST(SndBank, WriterRefusals) {
  Sound mono(SREP_S16L_BLK, 1, 22050, 10), stereo(SREP_S16L_BLK, 2, 22050, 10);
  stereo.t().spatialization = 0x40;
  struct Case {
    std::vector<SINFO*> sounds;
    std::vector<int> indexes;
    const char* message;
  };
  const Case cases[] = {
      {{stereo.info}, {0}, "Forced Dolby or DS3D render mode requires mono samples."},
      {{mono.info, mono.info}, {3, 3}, "An attempt to write to the same sinfo index was made."},
      {{mono.info}, {512}, "Bank element 512 is outside the valid range 0..511."},
      {{mono.info}, {-1}, "Bank element -1 is outside the valid range 0..511."},
      {{}, {}, "No patches in bank to write."},
  };
  for (const Case& c : cases) {
    int r = -1;
    writefile(kPcBank, c.sounds, &r, c.indexes);
    EXPECT_EQ(r, 0) << c.message;
    EXPECT_STREQ(AUREX_lasterror(), c.message);
  }
  mono.t().instH = 9;
  int r = -1;
  writefile(kPcBank, {mono.info}, &r);
  EXPECT_STREQ(AUREX_lasterror(), "Envelope array to small for storage.");
}

TEST(SndBank, CorruptBanksFailWithAMessage) {
  Sound s(SREP_S16L_BLK, 1, 22050, 100);
  decorate(s.t(), 1);
  const Bytes f = writefile(kPcBank, {s.info});
  ASSERT_FALSE(f.empty());
  const size_t element = 20 + word(f, 20, false);
  const size_t table = fixedvalue(f, 0x12, element);
  const size_t envelope = fixedvalue(f, 0x19, element);
  const size_t data = fixedvalue(f, 0x88, element);
  ASSERT_TRUE(table && envelope && data);
  struct Case {
    const char* what;
    size_t at;
    uint32_t value;
    bool big;  // the value's byte order in the file
    const char* message;
  };
  const Case cases[] = {
      {"element offset past the end", 20, 100000, false, "Bank element offset lies outside the file."},
      {"element pointing into another one", 20, 1, false, "Corrupt SND bank file."},
      {"element pointing at its own entry", 20, 0, false, "Can't read empty bank element."},
      {"scaling table past the end", table, 100000, true, "Couldn't seek to scaling table."},
      {"scaling table running over the end", table, uint32_t(f.size() - table - 64), true,
       "Couldn't read scaling table."},
      {"envelope past the end", envelope, 100000, true, "Couldn't seek to envelope offset."},
      {"sample data past the end", data, uint32_t(f.size() - 100), true,
       "Sample data of the bank element lies outside the file."},
      {"sample data before the file", data, 0xFFFFFF00u, true,
       "Sample data of the bank element lies outside the file."},
  };
  for (const Case& c : cases) {
    Bytes bad = f;
    (c.big ? gputbe : gputle)(&bad[c.at], c.value, 4);
    Opened o(bad, kPcBank);
    EXPECT_EQ(o.read(0), nullptr) << c.what;
    EXPECT_STREQ(AUREX_lasterror(), c.message) << c.what;
  }
  {
    Bytes bad = f;
    gputle(&bad[6], 513, 2);
    Opened o(bad, kPcBank);
    EXPECT_EQ(o.elements, 0);
    EXPECT_STREQ(AUREX_lasterror(), "SND bank files can hold at most 512 elements.");
  }
  {
    // Nine envelope points: tag 0x09 comes before the envelope reference.
    Bytes bad = f;
    for (size_t i = element + 4; i + 2 < bad.size(); ++i) {
      if (bad[i] == 0x09 && bad[i + 1] == 1 && bad[i + 2] == 3) {
        bad[i + 2] = 9;
        break;
      }
    }
    Opened o(bad, kPcBank);
    EXPECT_EQ(o.read(0), nullptr);
    EXPECT_STREQ(AUREX_lasterror(), "Envelope array to small for storage.");
  }
  {
    // Two references to the same table slot.
    Bytes bad = f;
    bad[fixedvalue(f, 0x19, element) - 2] = 0x12;
    Opened o(bad, kPcBank);
    EXPECT_EQ(o.read(0), nullptr);
    EXPECT_STREQ(AUREX_lasterror(), "Scaling table is already allocated.");
  }
  {
    Opened o(Bytes(f.begin(), f.begin() + 22), kPcBank);
    EXPECT_EQ(o.elements, 0) << "offset table past the end";
    Opened other(f, kMacBank);
    EXPECT_EQ(other.elements, 0) << "byte order of another module";
  }
}

TEST(SndBank, VersionTwoIsRead) {
  Sound s(SREP_S16L_BLK, 1, 22050, 64);
  const Bytes v4 = writefile(kPcBank, {s.info});
  // Version 2: the offset table follows a 12-byte header, so everything moves 8 bytes down; the
  // element's absolute sample offset moves with it.
  Bytes fixed(v4.begin(), v4.begin() + 8);
  fixed[4] = 2;
  fixed.insert(fixed.end(), 4, 0);
  fixed.insert(fixed.end(), v4.begin() + 20, v4.end());
  const size_t data = fixedvalue(fixed, 0x88, 12 + word(fixed, 12, false));
  gputbe(&fixed[data], ggetbe(&fixed[data], 4) - 8, 4);
  Opened o(fixed, kPcBank);
  ASSERT_EQ(o.elements, 1) << AUREX_lasterror();
  EXPECT_EQ(o.identify(), kPcBank);
  SINFO* back = o.read(0);
  ASSERT_NE(back, nullptr) << AUREX_lasterror();
  EXPECT_EQ(back->timbres[0].numsamples, 64);
  AUREX_freesinfo(back);
}

TEST(SndBank, ARefusedSoundLeavesNothingBehind) {
  Sound refused(SREP_S16L_BLK, 1, 22050, 100), kept(SREP_S16L_BLK, 1, 22050, 100, 2);
  decorate(refused.t(), 5);
  refused.t().instH = 9;  // refused after its scaling table was looked at
  const std::string path = temppath("refused.bnk");
  gfile* f = gwopen(path.c_str());
  SINSTANCE* inst = nullptr;
  ASSERT_GT(AUREX_create(f, &inst, kPcBank), 0);
  EXPECT_FALSE(AUREX_write(inst, refused.info, 0));
  EXPECT_TRUE(AUREX_write(inst, kept.info, 1)) << AUREX_lasterror();
  EXPECT_TRUE(AUREX_wclose(inst)) << AUREX_lasterror();
  gclose(f);
  const Bytes b = slurp(path);
  std::remove(path.c_str());
  EXPECT_EQ(ggetle(&b[6], 2), 2u);
  EXPECT_EQ(occurrences(b, static_cast<uint8_t*>(refused.t().paramblock[0]), 128), 0u);
}

// A patch is one element at offset 0 with absolute data offsets.
Bytes patchfrom(const Bytes& bank, bool big) {
  const size_t element = 20 + word(bank, 20, big);
  Bytes p(bank.begin() + long(element), bank.end());
  for (size_t at = fixedvalue(p, 0x88, 0); at; at = fixedvalue(p, 0x89, at)) {
    const uint32_t v = ggetbe(&p[at], 4);
    gputbe(&p[at], uint32_t(v - element), 4);
  }
  return p;
}

TEST(SndPatch, ReadsTheElementOfEachPlatform) {
  struct Case {
    int bank;
    const char* patch;
    int rep;
    bool big;
  };
  for (const Case c :
       {Case{kPcBank, "pcpatch", SREP_QVXA_BLK, false}, Case{kPsxBank, "psxpatch", SREP_VAG_BLK, false},
        Case{kN64Bank, "n64patch", SREP_S16B_BLK, true}}) {
    Sound s(c.rep, 2, 22050, 560);
    const Bytes p = patchfrom(writefile(c.bank, {s.info}), c.big);
    const int format = formatnamed(c.patch);
    Opened o(p, format);
    EXPECT_EQ(o.identify(), format) << c.patch;
    SINFO* back = o.read(0);
    ASSERT_NE(back, nullptr) << c.patch << " " << AUREX_lasterror();
    EXPECT_EQ(back->timbres[0].samplerep, c.rep);
    EXPECT_GT(snrdb(s.t().samples[1], back->timbres[0].samples[1], 560), 20.0) << c.patch;
    AUREX_freesinfo(back);
    EXPECT_EQ(o.read(1), nullptr);
  }
}

}  // namespace
