// End-to-end tests of the importers of standard formats against general tools: files made by
// sox and ffmpeg from a 16-bit original read back through quillon as that original.
#include <string>
#include <vector>

#include "quillon/app/apptest.h"

namespace {

using namespace apptest;

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

}  // namespace
