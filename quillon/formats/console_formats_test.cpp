// The single-sound console modules: VAG, CD-ROM XA, RAW and the OKTA VAG stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "quillon/formats/consoletest.h"
#include "quillon/runtime/gmem.h"

namespace {

using namespace consoletest;

const int kVag = formatnamed("vag");
const int kCdxa = formatnamed("cdxa");
const int kRaw = formatnamed("raw");
const int kOkta = formatnamed("oktavagstream");

// Decodes a file with ffmpeg into 16-bit samples (empty when it could not).
std::vector<int16_t> ffmpegdecode(const Bytes& file, const char* demuxer, int channels) {
  const std::string in = temppath("oracle.in"), out = temppath("oracle.raw");
  spit(in, file);
  const std::string cmd = "ffmpeg -v error -y -f " + std::string(demuxer) + " -i " + in + " -ac " +
                          std::to_string(channels) + " -f s16le -acodec pcm_s16le " + out + " 2>/dev/null";
  std::vector<int16_t> pcm;
  if (std::system(cmd.c_str()) == 0) {
    const Bytes b = slurp(out);
    pcm.resize(b.size() / 2);
    std::memcpy(pcm.data(), b.data(), pcm.size() * 2);
  }
  std::remove(in.c_str());
  std::remove(out.c_str());
  return pcm;
}

bool haveffmpeg() {
  return std::system("ffmpeg -version >/dev/null 2>&1") == 0;
}

TEST(VagFile, OneShotOf28SamplesHasDataSize16AndThreeFrames) {
  Sound s(SREP_VAG_BLK, 1, 22050, 28);
  const Bytes f = writefile(kVag, {s.info});
  ASSERT_EQ(f.size(), 48u + 48u) << AUREX_lasterror();
  EXPECT_EQ(0, std::memcmp(f.data(), "VAGp", 4));
  EXPECT_EQ(ggetbe(&f[4], 4), 2u);
  EXPECT_EQ(ggetbe(&f[12], 4), 16u);
  EXPECT_EQ(ggetbe(&f[16], 4), 22050u);
  const uint8_t fixed[12] = {0xC6, 0x76, 0xFF, 0xFF, 0x58, 0xA2, 0x00, 0x34, 0x99, 0xDE, 0x00, 0x11};
  EXPECT_EQ(0, std::memcmp(&f[20], fixed, 12));
  EXPECT_EQ(0, std::memcmp(&f[32], "PSX.AIFF\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(f[48 + 16 + 1], 0);
  EXPECT_EQ(f[48 + 32 + 1], 1);

  Opened o(f, kVag);
  EXPECT_EQ(o.identify(), kVag);
  SINFO* back = o.read(0);
  ASSERT_NE(back, nullptr) << AUREX_lasterror();
  EXPECT_EQ(back->timbres[0].numsamples, 28);
  EXPECT_EQ(back->timbres[0].loopend, -1);
  EXPECT_GT(snrdb(s.t().samples[0], back->timbres[0].samples[0], 28), 15.0);
  AUREX_freesinfo(back);
}

TEST(VagFile, LoopAndSamplesComeBack) {
  Sound s(SREP_VAG_BLK, 1, 44100, 28 * 100);
  s.t().loopstart = 28 * 10;
  s.t().loopend = 28 * 100 - 1;
  const Bytes f = writefile(kVag, {s.info});
  ASSERT_EQ(f.size(), 48u + 16u * 101) << "a looped sound has no end frame";
  Opened o(f, kVag);
  SINFO* back = o.read(0);
  ASSERT_NE(back, nullptr) << AUREX_lasterror();
  const STIMBRE& t = back->timbres[0];
  EXPECT_EQ(t.samplerate, 44100);
  EXPECT_EQ(t.loopstart, 280);
  EXPECT_EQ(t.loopend, 2799);
  EXPECT_GT(snrdb(s.t().samples[0], t.samples[0], 2800), 25.0);
  AUREX_freesinfo(back);
}

TEST(VagFile, BadFilesAndRefusedWrites) {
  Sound s(SREP_VAG_BLK, 1, 22050, 280);
  Bytes f = writefile(kVag, {s.info});
  struct Case {
    const char* what;
    size_t at;
    uint32_t value;
    const char* message;
  };
  const Case cases[] = {
      {"data size past the end", 12, 16 * 1000, "Couldn't read VAG samples."},
      {"rate of zero", 16, 0, "The file's sample rate of 0 Hz is outside 1000..384000 Hz."},
      {"huge rate", 16, 0x7FFFFFFF, "The file's sample rate of 2147483647 Hz is outside 1000..384000 Hz."},
  };
  for (const Case& c : cases) {
    Bytes bad = f;
    gputbe(&bad[c.at], c.value, 4);
    Opened o(bad, kVag);
    EXPECT_EQ(o.read(0), nullptr) << c.what;
    EXPECT_STREQ(AUREX_lasterror(), c.message) << c.what;
  }
  {
    Opened o(Bytes(f.begin(), f.begin() + 47), kVag);
    EXPECT_NE(o.identify(), kVag) << "shorter than its header";
  }
  Sound stereo(SREP_VAG_BLK, 2, 22050, 28);
  int r = -1;
  writefile(kVag, {stereo.info}, &r);
  EXPECT_EQ(r, 0);
  EXPECT_STREQ(AUREX_lasterror(), "VAG files can only be mono.");
  writefile(kVag, {s.info}, &r, {1});
  EXPECT_STREQ(AUREX_lasterror(), "VAG files can only contain element 0.");
}

TEST(VagFile, FfmpegDecodesWhatWeWrite) {
  if (!haveffmpeg()) GTEST_SKIP() << "no ffmpeg";
  Sound s(SREP_VAG_BLK, 1, 22050, 22050);
  const Bytes f = writefile(kVag, {s.info});
  Opened o(f, kVag);
  SINFO* back = o.read(0);
  ASSERT_NE(back, nullptr);
  const std::vector<int16_t> theirs = ffmpegdecode(f, "vag", 1);
  ASSERT_GE(theirs.size(), 22050u);
  // Their decode starts with the lead-in frame's 28 zeros.
  const size_t lead = theirs.size() >= 22050 + 28 ? 28 : 0;
  EXPECT_GT(snrdb(back->timbres[0].samples[0], theirs.data() + lead, 22050), 40.0);
  EXPECT_GT(snrdb(s.t().samples[0], theirs.data() + lead, 22050), 25.0);
  AUREX_freesinfo(back);
}

TEST(CdxaFile, SectorsSubheadersAndPadding) {
  struct Case {
    int channels, rate, samples;
    size_t sectors;
    uint8_t coding;
  };
  for (const Case c : {Case{1, 37800, 1, 1, 0x00}, Case{2, 18900, 2017, 2, 0x05},
                       Case{1, 18900, 4033, 2, 0x04}, Case{2, 37800, 2016, 1, 0x01}}) {
    Sound s(SREP_CDXA, c.channels, c.rate, c.samples);
    const Bytes f = writefile(kCdxa, {s.info});
    ASSERT_EQ(f.size(), c.sectors * 2336) << AUREX_lasterror();
    for (size_t k = 0; k < c.sectors; ++k) {
      const uint8_t sub[8] = {1, 1, 0x64, c.coding, 1, 1, 0x64, c.coding};
      EXPECT_EQ(0, std::memcmp(&f[k * 2336], sub, 8));
    }
    Opened o(f, kCdxa);
    EXPECT_EQ(o.identify(), kCdxa);
    SINFO* back = o.read(0);
    ASSERT_NE(back, nullptr) << AUREX_lasterror();
    const STIMBRE& t = back->timbres[0];
    EXPECT_EQ(t.numchannels, c.channels);
    EXPECT_EQ(t.samplerate, c.rate);
    EXPECT_EQ(t.numsamples, int(c.sectors * 4032 / c.channels));
    if (c.samples > 100) {
      for (int ch = 0; ch < c.channels; ++ch)
        EXPECT_GT(snrdb(s.t().samples[ch], t.samples[ch], c.samples), 20.0);
    }
    AUREX_freesinfo(back);
  }
}

TEST(CdxaFile, IdentifyNeedsWholeSectorsAndItsSubheader) {
  Sound s(SREP_CDXA, 1, 37800, 10);
  const Bytes f = writefile(kCdxa, {s.info});
  struct Case {
    const char* what;
    size_t size;
    size_t at;
    uint8_t value;
  };
  for (const Case c :
       {Case{"one byte more", 2337, 0, 1}, Case{"one byte less", 2335, 0, 1},
        Case{"file number 2", 2336, 0, 2}, Case{"submode", 2336, 2, 0x65}, Case{"coding 2", 2336, 3, 2}}) {
    Bytes b = f;
    b.resize(c.size);
    b[c.at] = c.value;
    Opened o(b, kCdxa);
    EXPECT_NE(o.identify(), kCdxa) << c.what;
  }
}

TEST(CdxaFile, RefusedWrites) {
  Sound s(SREP_CDXA, 1, 22050, 10);
  int r = -1;
  writefile(kCdxa, {s.info}, &r);
  EXPECT_EQ(r, 0);
  EXPECT_STREQ(AUREX_lasterror(), "CD XA files must be sampled at 18900 or 37800 Hz.");
  s.t().samplerate = 18900;
  writefile(kCdxa, {s.info}, &r, {1});
  EXPECT_EQ(r, 0);
  EXPECT_STREQ(AUREX_lasterror(), "A CD XA file can only contain element 0.");
}

// ffmpeg reads CD-XA audio from whole 2352-byte raw sectors: sync, header, then our payload.
TEST(CdxaFile, FfmpegDecodesWhatWeWrite) {
  if (!haveffmpeg()) GTEST_SKIP() << "no ffmpeg";
  for (const int channels : {1, 2}) {
    Sound s(SREP_CDXA, channels, 37800, 4032 * 4 / channels);
    const Bytes f = writefile(kCdxa, {s.info});
    Bytes raw;
    for (size_t k = 0; k < f.size() / 2336; ++k) {
      const uint8_t head[16] = {0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,       0xFF,
                                0xFF, 0xFF, 0xFF, 0,    0,    2,    uint8_t(k), 2};
      raw.insert(raw.end(), head, head + 16);
      raw.insert(raw.end(), f.begin() + long(k * 2336), f.begin() + long((k + 1) * 2336));
    }
    Opened o(f, kCdxa);
    SINFO* back = o.read(0);
    ASSERT_NE(back, nullptr);
    const std::vector<int16_t> theirs = ffmpegdecode(raw, "psxstr", channels);
    const int32_t n = back->timbres[0].numsamples;
    ASSERT_GE(int32_t(theirs.size()), n * channels) << channels;
    for (int c = 0; c < channels; ++c) {
      std::vector<int16_t> mine(back->timbres[0].samples[c], back->timbres[0].samples[c] + n);
      std::vector<int16_t> ch(static_cast<size_t>(n));
      for (int32_t i = 0; i < n; ++i) ch[size_t(i)] = theirs[size_t(i * channels + c)];
      EXPECT_GT(snrdb(mine.data(), ch.data(), n), 40.0) << channels << " " << c;
    }
    AUREX_freesinfo(back);
  }
}

TEST(RawFile, EveryPcmRepresentationRoundTrips) {
  for (const int rep :
       {SREP_S8_INT, SREP_S8_BLK, SREP_U8_INT, SREP_S16B_INT, SREP_S16B_BLK, SREP_S16L_INT, SREP_S16L_BLK}) {
    Sound s(rep, 2, 22050, 300);
    const Bytes f = writefile(kRaw, {s.info});
    const bool wide = rep != SREP_S8_INT && rep != SREP_S8_BLK && rep != SREP_U8_INT;
    ASSERT_EQ(f.size(), 600u * (wide ? 2 : 1)) << rep;
    Opened o(f, kRaw);
    EXPECT_NE(o.identify(), kRaw) << "raw is only chosen by name";
    SINFO* info = nullptr;
    ASSERT_TRUE(AUREX_info(o.inst, &info, 0));
    info->timbres[0].samplerep = int8_t(rep);
    info->timbres[0].numchannels = 2;
    ASSERT_TRUE(AUREX_read(o.inst, info, 0)) << AUREX_lasterror();
    ASSERT_EQ(info->timbres[0].numsamples, 300);
    for (int c = 0; c < 2; ++c) {
      for (int i = 0; i < 300; ++i) {
        const int16_t want = wide ? s.t().samples[c][i] : int16_t(s.t().samples[c][i] & ~0xFF);
        ASSERT_EQ(info->timbres[0].samples[c][i], want) << rep << " " << c << " " << i;
      }
    }
    AUREX_freesinfo(info);
  }
}

TEST(RawFile, QvxaIsWrittenButNotRead) {
  Sound s(SREP_QVXA_BLK, 1, 22050, 29);
  const Bytes f = writefile(kRaw, {s.info});
  EXPECT_EQ(f.size(), 30u);
  Opened o(f, kRaw);
  SINFO* info = nullptr;
  ASSERT_TRUE(AUREX_info(o.inst, &info, 0));
  info->timbres[0].samplerep = SREP_QVXA_BLK;
  EXPECT_FALSE(AUREX_read(o.inst, info, 0));
  EXPECT_STREQ(AUREX_lasterror(), "Raw importer doesn't support this sample representation.");
  AUREX_freesinfo(info);
}

TEST(OktaVagStream, FillerUpToTheNextSector) {
  struct Case {
    int samples;
    size_t size;
  };
  // 127 frames (2032 bytes) and the header make exactly 2048 bytes: a whole sector of filler.
  for (const Case c : {Case{127 * 28, 4096}, Case{127 * 28 - 27, 4096}, Case{1, 2048}, Case{0, 2048},
                       Case{128 * 28, 4096}}) {
    Sound s(SREP_VAG_BLK, 1, 22050, c.samples);
    const Bytes f = writefile(kOkta, {s.info});
    ASSERT_EQ(f.size(), c.size) << c.samples << " " << AUREX_lasterror();
    const uint32_t data = (c.samples + 27) / 28 * 16;
    EXPECT_EQ(ggetle(f.data(), 4), data);
    EXPECT_TRUE(std::all_of(f.begin() + 4, f.begin() + 16, [](uint8_t b) { return b == 0; }));
    for (size_t at = 16; at < f.size(); at += 16) {
      EXPECT_EQ(f[at + 1], 2) << at;
      if (at >= 16 + data) {
        const uint8_t filler[16] = {0, 2};
        EXPECT_EQ(0, std::memcmp(&f[at], filler, 16)) << at;
      }
    }
  }
  Sound stereo(SREP_VAG_BLK, 2, 22050, 28);
  int r = -1;
  writefile(kOkta, {stereo.info}, &r);
  EXPECT_STREQ(AUREX_lasterror(), "OKTA VAG stream files can only be mono.");
  writefile(kOkta, {nullptr, stereo.info}, &r);
  EXPECT_STREQ(AUREX_lasterror(), "OKTA VAG stream files can only contain element 0.");
}

}  // namespace
