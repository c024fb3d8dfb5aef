#include "quillon/soundcore/sinfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quillon/runtime/gmem.h"

namespace {

TEST(Sinfo, FreshRecordHasItsDefaults) {
  SINFO* info = AUREX_newsinfo();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->numtimbres, 1);
  EXPECT_EQ(info->streamrate, 15.0f);
  EXPECT_EQ(info->reserved, -1);
  for (const STIMBRE& t : info->timbres) {
    EXPECT_EQ(static_cast<uint8_t>(t.samplerep), 255);
    EXPECT_EQ(t.loopstart, -1);
    EXPECT_EQ(t.loopend, -1);
    EXPECT_EQ(t.rootnote, 60);
    EXPECT_EQ(t.pan, 64);
    EXPECT_EQ(t.volume, 127);
    EXPECT_EQ(t.bitrate, 128000);
    EXPECT_EQ(t.envelope[0][0], 2147483647);
    EXPECT_EQ(t.envelope[0][1], 127);
    EXPECT_EQ(t.envelope[1][0], 0);
    EXPECT_EQ(t.dataoffset, -1);
    EXPECT_EQ(t.trackangle[3], -1);
    EXPECT_EQ(t.highvelocity, 127);
    EXPECT_EQ(t.highnote, 127);
    EXPECT_EQ(t.instB, 1);
    EXPECT_EQ(t.instE, 127);
    EXPECT_EQ(t.instF, 64);
    EXPECT_EQ(t.instH, 1);
    EXPECT_EQ(t.instI, 255);
    EXPECT_EQ(t.looptruncate, 1);
    EXPECT_EQ(t.numchannels, 0);
    EXPECT_EQ(t.samples[0], nullptr);
  }
  EXPECT_EQ(AUREX_freesinfo(info), 1);
  EXPECT_EQ(AUREX_freesinfo(nullptr), 0);
}

TEST(Sinfo, RepresentationNames) {
  EXPECT_STREQ(AUREX_samplerepname(SREP_QVXA_BLK), "QV-XA Block (3.7:1)");
  EXPECT_STREQ(AUREX_samplerepshortname(SREP_U8_INT), "u8_int");
  EXPECT_STREQ(AUREX_samplerepshortname(SREP_OGG), "ogg");
  EXPECT_STREQ(AUREX_samplerepname(18), "Unknown");
  EXPECT_STREQ(AUREX_samplerepname(-1), "Unknown");
  EXPECT_STREQ(AUREX_samplerepshortname(18), "Unknown");
  EXPECT_EQ(AUREX_samplerepbyname("qvxa_blk"), SREP_QVXA_BLK);
  EXPECT_EQ(AUREX_samplerepbyname("nope"), SREP_NONE);
}

TEST(Sinfo, DefaultTrackAngles) {
  const int32_t expect[4][4] = {
      {0, -1, -1, -1}, {57344, 8192, -1, -1}, {54613, 10922, 32768, -1}, {57344, 8192, 40960, 24576}};
  for (int channels = 1; channels <= 4; ++channels) {
    STIMBRE t;
    AUREX_initsound(&t);
    t.numchannels = static_cast<int8_t>(channels);
    AUREX_defaulttrackangles(&t);
    for (int c = 0; c < 4; ++c)
      EXPECT_EQ(t.trackangle[c], expect[channels - 1][c]) << channels << " channels";
  }
  STIMBRE set;
  AUREX_initsound(&set);
  set.numchannels = 2;
  set.trackangle[0] = 100;
  AUREX_defaulttrackangles(&set);
  EXPECT_EQ(set.trackangle[1], -1);
}

TEST(Sinfo, LastErrorIsCutAt255Characters) {
  const std::string longtext(300, 'x');
  AUREX_seterror(longtext.c_str());
  EXPECT_EQ(std::string(AUREX_lasterror()), longtext.substr(0, 255));
  AUREX_seterrorf("Failed %d.\n", 7);
  EXPECT_STREQ(AUREX_lasterror(), "Failed 7.\n");
}

TEST(Sinfo, UserDataGoesToTheLastFreeSlot) {
  STIMBRE t;
  AUREX_initsound(&t);
  const char text[] = "abc";
  ASSERT_EQ(AUREX_adduserdata(&t, 3, text), 1);
  EXPECT_NE(t.userdata[3], nullptr);
  EXPECT_EQ(t.userdatasize[3], 3);
  // Free slots 0 and 1: the higher one wins.
  ASSERT_EQ(AUREX_adduserdata(&t, 3, text), 1);
  ASSERT_NE(t.userdata[2], nullptr);
  ASSERT_EQ(AUREX_adduserdata(&t, 3, text), 1);
  EXPECT_NE(t.userdata[1], nullptr);
  EXPECT_EQ(t.userdata[0], nullptr);
  ASSERT_EQ(AUREX_adduserdata(&t, 3, text), 1);
  EXPECT_EQ(AUREX_adduserdata(&t, 3, text), 0);
  EXPECT_STREQ(AUREX_lasterror(), "Couldn't find a free slot to add user data.");
  for (auto* p : t.userdata) gfree(p);
}

// A timbre owning one buffer of every kind, with distinct contents.
void fill(SINFO* info, int timbre) {
  STIMBRE& t = info->timbres[timbre];
  t.numchannels = 2;
  t.numsamples = 1000;
  ASSERT_EQ(AUREX_allocsamples(&t), 0);
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < 1000; ++i) t.samples[c][i] = static_cast<int16_t>(i * (c + 1) + timbre);
  t.sidedatasize = 8;
  t.sidedata[1] = galloc(8);
  t.encodedsize[0] = 10;
  t.encoded[0] = galloc(10);
  t.codebooksize[1] = 128;
  t.codebook[1] = galloc(128);
  t.loopstatesize[0] = 32;
  t.loopstate[0] = galloc(32);
  t.paramblock[0] = galloc(SINFO_PARAMBLOCKSIZE);
  t.paramblock2[1] = galloc(SINFO_PARAMBLOCKSIZE);
  std::memset(t.paramblock2[1], 0x42, SINFO_PARAMBLOCKSIZE);
  ASSERT_EQ(AUREX_adduserdata(&t, 5, "hello"), 1);
}

TEST(Sinfo, CopyOwnsEveryBufferAndFreeReleasesThemAll) {
  SINFO* src = AUREX_newsinfo();
  src->numtimbres = 2;
  fill(src, 0);
  fill(src, 1);
  SINFO* dst = AUREX_newsinfo();
  ASSERT_EQ(AUREX_copysinfo(dst, src), 1);
  for (int i = 0; i < 2; ++i) {
    const STIMBRE& s = src->timbres[i];
    const STIMBRE& d = dst->timbres[i];
    for (int c = 0; c < 2; ++c) {
      ASSERT_NE(d.samples[c], s.samples[c]);
      EXPECT_EQ(std::memcmp(d.samples[c], s.samples[c], 2000), 0);
    }
    EXPECT_NE(d.sidedata[1], s.sidedata[1]);
    EXPECT_NE(d.encoded[0], s.encoded[0]);
    EXPECT_NE(d.codebook[1], s.codebook[1]);
    EXPECT_NE(d.loopstate[0], s.loopstate[0]);
    EXPECT_NE(d.paramblock[0], s.paramblock[0]);
    ASSERT_NE(d.paramblock2[1], s.paramblock2[1]);
    EXPECT_EQ(static_cast<uint8_t*>(d.paramblock2[1])[127], 0x42);
    ASSERT_NE(d.userdata[3], s.userdata[3]);
    EXPECT_EQ(std::memcmp(d.userdata[3], "hello", 5), 0);
  }
  // Each record releases only what it owns: under the address sanitizer a shared buffer would
  // show up as a double release, a missed one as a leak.
  testing::internal::CaptureStdout();
  EXPECT_EQ(AUREX_freesinfo(src), 1);
  dst->timbres[0].samples[0][999] = 1;  // still ours after the source is gone
  EXPECT_EQ(AUREX_freesinfo(dst), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Sinfo, AllocSamplesFailureLeavesNothingBehind) {
  STIMBRE t;
  AUREX_initsound(&t);
  t.numchannels = 2;
  t.numsamples = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(AUREX_allocsamples(&t), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_STREQ(AUREX_lasterror(), "Couldn't allocate memory for audio samples.");
  EXPECT_EQ(t.samples[0], nullptr);
  EXPECT_EQ(t.samples[1], nullptr);
}

}  // namespace
