// End-to-end tests of the importers of standard formats against general tools: files made by
// sox and ffmpeg from a 16-bit original read back through quillon as that original.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quillon/app/apptest.h"

namespace {

using namespace apptest;

// The CRC of an Ogg page (polynomial 0x04C11DB7, not reflected, over the page with its CRC
// field zero), so that a test can change a page and keep it valid.
void fixoggcrc(std::string& file, size_t page) {
  const size_t segments = static_cast<uint8_t>(file[page + 26]);
  size_t size = 27 + segments;
  for (size_t i = 0; i < segments; ++i) size += static_cast<uint8_t>(file[page + 27 + i]);
  for (int i = 0; i < 4; ++i) file[page + 22 + i] = 0;
  uint32_t crc = 0;
  for (size_t i = 0; i < size; ++i) {
    crc ^= static_cast<uint32_t>(static_cast<uint8_t>(file[page + i])) << 24;
    for (int k = 0; k < 8; ++k) crc = crc & 0x80000000u ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  for (int i = 0; i < 4; ++i) file[page + 22 + i] = static_cast<char>(crc >> (8 * i));
}

class FormatsCli : public ScratchTest {
 protected:
  // The largest difference between the samples of two 16-bit WAVs this program or sox wrote.
  static int maxdiff(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
    if (a.size() != b.size()) return 65536;
    int most = 0;
    for (size_t i = 0; i < a.size(); ++i) most = std::max(most, std::abs(a[i] - b[i]));
    return most;
  }
};

TEST_F(FormatsCli, WaveVariantsOfEditorsReadAsTheOriginal) {
  if (!havetool("sox") || !havetool("ffmpeg")) GTEST_SKIP() << "needs sox and ffmpeg";
  writemusic(path("src.wav"), 4410, 2, 44100);
  writemusic(path("src3.wav"), 4410, 3, 44100);
  const std::string ff = "ffmpeg -y -loglevel error -i ";
  struct Case {
    const char* name;
    std::string make;
    const char* source;
  };
  const std::vector<Case> cases = {
      {"sox_s24_extensible", "sox " + path("src.wav") + " -b 24 " + path("x.wav"), "src.wav"},
      {"sox_s32", "sox " + path("src.wav") + " -b 32 " + path("x.wav"), "src.wav"},
      {"sox_float", "sox " + path("src.wav") + " -e floating-point -b 32 " + path("x.wav"), "src.wav"},
      {"sox_double", "sox " + path("src.wav") + " -e floating-point -b 64 " + path("x.wav"), "src.wav"},
      {"ffmpeg_s24_junk", ff + path("src.wav") + " -c:a pcm_s24le -rf64 auto " + path("x.wav"), "src.wav"},
      {"ffmpeg_f32_junk", ff + path("src.wav") + " -c:a pcm_f32le -rf64 auto " + path("x.wav"), "src.wav"},
      {"ffmpeg_s32", ff + path("src.wav") + " -c:a pcm_s32le " + path("x.wav"), "src.wav"},
      {"ffmpeg_3ch_extensible", ff + path("src3.wav") + " -c:a pcm_s24le " + path("x.wav"), "src3.wav"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(shell(c.make).status, 0);
    const Result r = quillon("convert " + path("x.wav") + " " + path("back.wav"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_LE(maxdiff(samplesof(path(c.source)), samplesof(path("back.wav"))), 1);
    EXPECT_EQ(quillon("import " + path("x.wav") + " " + dir_.string()).status, 0);
  }
}

TEST_F(FormatsCli, AiffVariantsOfEditorsReadAsTheOriginal) {
  if (!havetool("sox") || !havetool("ffmpeg")) GTEST_SKIP() << "needs sox and ffmpeg";
  writemusic(path("src.wav"), 4410, 2, 44100);
  const std::string src = path("src.wav");
  const std::string ff = "ffmpeg -y -loglevel error -i " + src + " -f aiff ";
  struct Case {
    const char* name;
    std::string make;
    int tolerance;
  };
  const std::vector<Case> cases = {
      {"sox_s16", "sox " + src + " " + path("x.aiff"), 0},
      {"sox_s24", "sox " + src + " -b 24 " + path("x.aiff"), 1},
      {"sox_s32", "sox " + src + " -b 32 " + path("x.aiff"), 1},
      {"sox_s8", "sox " + src + " -D -b 8 " + path("x.aiff"), 256},
      {"ffmpeg_sowt", ff + "-c:a pcm_s16le " + path("x.aiff"), 0},
      {"ffmpeg_fl32", ff + "-c:a pcm_f32be " + path("x.aiff"), 1},
      {"ffmpeg_s24", ff + "-c:a pcm_s24be " + path("x.aiff"), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(shell(c.make).status, 0);
    const Result r = quillon("convert --rep s16l_int " + path("x.aiff") + " " + path("back.wav"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_LE(maxdiff(samplesof(src), samplesof(path("back.wav"))), c.tolerance);
    EXPECT_EQ(quillon("import " + path("x.aiff") + " " + dir_.string()).status, 0);
  }
  // What quillon writes, sox reads as the original.
  ASSERT_EQ(quillon("convert " + src + " " + path("out.aiff")).status, 0);
  ASSERT_EQ(shell("sox " + path("out.aiff") + " " + path("sox.wav")).status, 0);
  EXPECT_EQ(maxdiff(samplesof(src), samplesof(path("sox.wav"))), 0);
}

// quillon keeps the Part's conversion (x 32767, truncated) where oggdec rounds x 32768: the two
// differ by at most 2.
TEST_F(FormatsCli, OggVorbisReadsAsOggdecDoes) {
  if (!havetool("oggenc") || !havetool("oggdec") || !havetool("sox")) GTEST_SKIP() << "needs vorbis-tools";
  writemusic(path("a.wav"), 30000, 2, 44100);
  writemusic(path("b.wav"), 12345, 2, 44100);
  for (const char* n : {"a", "b"}) {
    ASSERT_EQ(
        shell("oggenc -Q " + path(std::string(n) + ".wav") + " -o " + path(std::string(n) + ".ogg")).status,
        0);
    ASSERT_EQ(shell("oggdec -Q " + path(std::string(n) + ".ogg") + " -o " + path(std::string(n) + "_ref.wav"))
                  .status,
              0);
  }
  Result r = quillon("convert " + path("a.ogg") + " " + path("a_back.wav"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_LE(maxdiff(samplesof(path("a_ref.wav")), samplesof(path("a_back.wav"))), 2);

  // Two chained streams are one sound: the first's samples, then the second's.
  ASSERT_EQ(shell("cat " + path("a.ogg") + " " + path("b.ogg") + " > " + path("ab.ogg")).status, 0);
  r = quillon("info " + path("ab.ogg"));
  EXPECT_NE(r.out.find("2 channels, 44100 Hz, 42345 frames, ogg"), std::string::npos) << r.out;
  ASSERT_EQ(quillon("convert " + path("ab.ogg") + " " + path("ab.wav")).status, 0);
  std::vector<int16_t> ab = samplesof(path("ab.wav")), both = samplesof(path("a_ref.wav"));
  const std::vector<int16_t> b = samplesof(path("b_ref.wav"));
  both.insert(both.end(), b.begin(), b.end());
  EXPECT_LE(maxdiff(both, ab), 2);

  // Six channels: channel 0 on the left, the mean of the others on the right.
  ASSERT_EQ(
      shell("sox -M " + path("a.wav") + " " + path("a.wav") + " " + path("a.wav") + " " + path("six.wav"))
          .status,
      0);
  ASSERT_EQ(shell("oggenc -Q " + path("six.wav") + " -o " + path("six.ogg")).status, 0);
  ASSERT_EQ(shell("oggdec -Q " + path("six.ogg") + " -o " + path("six_ref.wav")).status, 0);
  ASSERT_EQ(quillon("convert " + path("six.ogg") + " " + path("mix.wav")).status, 0);
  const std::vector<int16_t> six = samplesof(path("six_ref.wav")), mix = samplesof(path("mix.wav"));
  ASSERT_EQ(six.size(), mix.size() * 3);
  int worst = 0;
  for (size_t i = 0; i < mix.size() / 2; ++i) {
    double right = 0;
    for (int c = 1; c < 6; ++c) right += six[6 * i + c];
    worst = std::max(
        {worst, std::abs(mix[2 * i] - six[6 * i]), static_cast<int>(std::abs(mix[2 * i + 1] - right / 5))});
  }
  EXPECT_LE(worst, 3);
  EXPECT_EQ(quillon("import --crop " + path("ab.ogg") + " " + dir_.string()).status, 0);
}

TEST_F(FormatsCli, OggVorbisWritesAt44100HzOnly) {
  if (!havetool("oggdec") || !havetool("vorbiscomment")) GTEST_SKIP() << "needs vorbis-tools";
  writemusic(path("low.wav"), 2205, 1, 22050);
  Result r = quillon("convert " + path("low.wav") + " " + path("low.ogg"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      r.out.find("Cannot convert audio data with this samplerate to ogg vorbis format.  Please re-sample "
                 "input data to 44.1kHz"),
      std::string::npos)
      << r.out;
  EXPECT_FALSE(std::filesystem::exists(path("low.ogg")));
  writemusic(path("cd.wav"), 44100, 2, 44100);
  ASSERT_EQ(quillon("convert " + path("cd.wav") + " " + path("cd.ogg")).status, 0);
  EXPECT_EQ(shell("vorbiscomment -l " + path("cd.ogg")).out, "Track encoded by AUREX\n");
  ASSERT_EQ(shell("oggdec -Q " + path("cd.ogg") + " -o " + path("cd_dec.wav")).status, 0);
  const std::vector<int16_t> in = samplesof(path("cd.wav")), out = samplesof(path("cd_dec.wav"));
  ASSERT_EQ(in.size(), out.size());
  EXPECT_GT(snr(in, out), 20.0);
}

TEST_F(FormatsCli, DamagedOggVorbisFails) {
  if (!havetool("oggenc")) GTEST_SKIP() << "needs vorbis-tools";
  writemusic(path("a.wav"), 30000, 2, 44100);
  ASSERT_EQ(shell("oggenc -Q " + path("a.wav") + " -o " + path("a.ogg")).status, 0);
  const std::string good = slurp(path("a.ogg"));
  std::vector<size_t> pages;
  for (size_t at = good.find("OggS"); at != std::string::npos; at = good.find("OggS", at + 1))
    pages.push_back(at);
  ASSERT_GE(pages.size(), 4u);
  std::string badcrc = good;
  badcrc[pages[3] + 40] ^= 0x55;
  std::string rate = good;  // identification header: "\x01vorbis", version, channels, rate
  rate[pages[0] + 28 + 12] = 1, rate[pages[0] + 28 + 13] = 0, rate[pages[0] + 28 + 14] = 0;
  fixoggcrc(rate, pages[0]);
  std::string length = good;  // the last page's granule position
  length[pages.back() + 6 + 4] = 0x40;
  fixoggcrc(length, pages.back());
  struct Case {
    const char* name;
    std::string file;
    const char* message;
  };
  const Case cases[] = {
      {"truncated", good.substr(0, good.size() / 2),
       "Could not find the length of the Ogg Vorbis bitstream."},
      {"bad checksum", badcrc, "Corrupt Ogg Vorbis bitstream."},
      {"lying rate", rate, "Unsupported sample rate in Ogg Vorbis importer."},
      {"lying length", length, "Corrupt Ogg Vorbis bitstream."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(path("bad.ogg"), std::ios::binary) << c.file;
    for (const char* command : {"info ", "convert ", "import "}) {
      const std::string target = std::string(command) == "convert "  ? " " + path("bad.wav")
                                 : std::string(command) == "import " ? " " + dir_.string()
                                                                     : "";
      const Result r = quillon(command + path("bad.ogg") + target);
      EXPECT_EQ(r.status, 1) << command;
      EXPECT_NE(r.out.find(c.message), std::string::npos) << command << r.out;
    }
  }
}

}  // namespace
