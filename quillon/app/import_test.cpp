#include "quillon/app/import.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quillon/app/apptest.h"
#include "quillon/runtime/gfile.h"
#include "quillon/soundcore/aurex.h"

namespace {

namespace fs = std::filesystem;

class ImportJob : public apptest::ScratchTest {
 protected:
  void TearDown() override {
    import_setstatus(nullptr);
    ScratchTest::TearDown();
  }

  // A 16-bit WAV of a loud two-tone signal.
  std::string makewav(const std::string& name, int rate, int channels, int frames) {
    apptest::writewav(path(name), frames, channels, rate,
                      [](int i, int c) { return static_cast<int>(20000 * std::sin(i * (0.03 + 0.01 * c))); });
    return path(name);
  }

  static SINFO* readstream(const std::string& p) {
    gfile* f = gopen(p.c_str());
    SINSTANCE* inst = nullptr;
    SINFO* info = nullptr;
    EXPECT_EQ(AUREX_identify(f), AUREX_FORMAT_PCSTREAM);
    EXPECT_EQ(AUREX_open(f, &inst, AUREX_FORMAT_PCSTREAM), 1);
    EXPECT_EQ(AUREX_info(inst, &info, 0), 1);
    EXPECT_NE(AUREX_read(inst, info, 0), 0) << AUREX_lasterror();
    AUREX_close(inst);
    gclose(f);
    return info;
  }
};

std::vector<std::string> g_statuses;

TEST_F(ImportJob, CropPadsToSeventySecondsOfStereoWithoutFadingTheMusic) {
  const std::string in = makewav("ten.wav", 44100, 2, 441000);
  import_setstatus([](const char* s) { g_statuses.emplace_back(s); });
  g_statuses.clear();
  ASSERT_EQ(import_ditty(in.c_str(), path("ten.asf").c_str(), 64, 1), IMPORT_OK);
  EXPECT_EQ(g_statuses, (std::vector<std::string>{"Opening...", "Reading...", "Cropping...", "Fading...",
                                                  "Writing...", "Done"}));
  SINFO* info = readstream(path("ten.asf"));
  ASSERT_NE(info, nullptr);
  const STIMBRE& t = info->timbres[0];
  EXPECT_EQ(t.numsamples, 3087000);  // (44100 / 2) x 140 frames
  EXPECT_EQ(t.samplerep, SREP_QVXA_BLK);
  EXPECT_EQ(t.reverb, 64);
  for (int c = 0; c < 2; ++c) {
    int loud = 0;
    for (int i = 441000 - 44100; i < 441000; ++i) loud += std::abs(t.samples[c][i]) > 10000;
    EXPECT_GT(loud, 20000) << "the last second of the music keeps its level";
    for (int i = 441000 + 100; i < t.numsamples; ++i) ASSERT_EQ(t.samples[c][i], 0) << i;
  }
  AUREX_freesinfo(info);
}

TEST_F(ImportJob, ShortInputIsFadedOverItsWholeLength) {
  const std::string in = makewav("short.wav", 22050, 1, 4410);  // 0.2 s
  ASSERT_EQ(import_ditty(in.c_str(), path("short.asf").c_str(), 0, 0), IMPORT_OK);
  SINFO* info = readstream(path("short.asf"));
  ASSERT_NE(info, nullptr);
  const STIMBRE& t = info->timbres[0];
  ASSERT_EQ(t.numsamples, 4410);
  EXPECT_EQ(t.reverb, 0);
  const auto peak = [&t](int from, int to) {
    int p = 0;
    for (int i = from; i < to; ++i) p = std::max(p, std::abs(static_cast<int>(t.samples[0][i])));
    return p;
  };
  EXPECT_LT(peak(0, 100), 2000);
  EXPECT_LT(peak(4310, 4410), 2000);
  EXPECT_LT(peak(2105, 2305), 15000);  // both fades cover the middle too
  AUREX_freesinfo(info);
}

TEST_F(ImportJob, ReverbTagInTheHeader) {
  const std::string in = makewav("r.wav", 22050, 1, 2000);
  for (int reverb : {0, 64}) {
    const std::string out = path("r" + std::to_string(reverb) + ".asf");
    ASSERT_EQ(import_ditty(in.c_str(), out.c_str(), reverb, 0), IMPORT_OK);
    std::ifstream f(out, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(f), {}};
    const std::string header = bytes.substr(0, 64);
    EXPECT_EQ(header.find(std::string("\x13\x01\x40", 3)) != std::string::npos, reverb == 64) << reverb;
    EXPECT_EQ(header.find(std::string("\x13\x01", 2)) != std::string::npos, reverb != 0) << reverb;
  }
}

TEST_F(ImportJob, FailuresWriteNothing) {
  const std::string good = makewav("good.wav", 22050, 2, 1000);
  std::string truncated = makewav("cut.wav", 22050, 2, 1000);
  fs::resize_file(truncated, 44 + 1000);
  std::ofstream(path("junk.bin")) << "nothing anybody could identify";
  std::string bits40 = makewav("b40.wav", 22050, 1, 100);
  {
    std::fstream f(bits40, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(34);
    f.put(40);
  }
  fs::create_directories(dir_ / "out");
  std::ofstream(path("out/cut.asf")) << "an older import";
  struct Case {
    std::string input, output;
    int code;
  };
  const std::vector<Case> cases = {
      {path("missing.wav"), path("out/missing.asf"), IMPORT_CANTOPENINPUT},
      {path("junk.bin"), path("out/junk.asf"), IMPORT_UNKNOWNFORMAT},
      {truncated, path("out/cut.asf"), IMPORT_READFAILED},
      {bits40, path("out/b40.asf"), IMPORT_INVALIDDATA},
      {good, path("nofolder/good.asf"), IMPORT_CANTOPENOUTPUT},
      {good, "/proc/good.asf", IMPORT_CANTOPENOUTPUT},  // a folder nobody may write to, root included
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + " -> " + c.output);
    EXPECT_EQ(import_ditty(c.input.c_str(), c.output.c_str(), 10, 0), c.code);
  }
  // The older output stays as it was, and no temporary file is left.
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir_ / "out")) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"cut.asf"});
  std::ifstream older(path("out/cut.asf"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(older), {}), "an older import");
}

TEST(ImportText, MessagesAndBaseNames) {
  AUREX_seterror("Because.");
  EXPECT_EQ(import_message(IMPORT_READFAILED, "in.mp3", "out.asf"), "Failed to read in.mp3: Because.");
  EXPECT_EQ(import_message(IMPORT_INVALIDDATA, "x.wav", "o"), "x.wav contains invalid data: Because.");
  EXPECT_EQ(import_message(IMPORT_MULTIPLEELEMENTS, "b.bnk", "o"), "b.bnk contains multiple audio elements");
  EXPECT_EQ(import_message(-9, "a", "b"), "Unknown error code: -9");
  EXPECT_EQ(import_message(IMPORT_OK, "a", "b"), "");
  const std::pair<const char*, const char*> names[] = {{"song.mp3", "song"},
                                                       {"/music/My.Song.wav", "My"},
                                                       {"C:\\Music\\goal.aiff", "goal"},
                                                       {"noext", "noext"},
                                                       {"dir.v2/tune", "tune"}};
  for (auto [in, out] : names) EXPECT_EQ(import_basename(in), out) << in;
}

}  // namespace
