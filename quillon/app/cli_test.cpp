// End-to-end tests of the quillon command line: they run the built program.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quillon/app/apptest.h"

namespace {

using namespace apptest;

// Runs quillon with `args`; standard error is kept in the output when `witherrors`.
Result run(const std::string& args, bool witherrors = false) {
  return quillon(args, witherrors);
}

TEST(QuillonCli, FormatsListsTheWholeTable) {
  const Result r = run("formats");
  EXPECT_EQ(r.status, 0);
  int lines = 0;
  for (char c : r.out) lines += c == '\n';
  EXPECT_EQ(lines, 25);  // heading + 24 rows
  EXPECT_NE(r.out.find("    9 pcstream       SND PC stream"), std::string::npos);
  EXPECT_NE(r.out.find("   18 dzlpsstream    Obsolete DZL 2000 PS stream"), std::string::npos);
  EXPECT_NE(r.out.find("   23 mpeg           MPEG"), std::string::npos);
}

TEST(QuillonCli, ExitStatuses) {
  struct Case {
    const char* args;
    int status;
  };
  // No command at all opens the window (quillon_window_test).
  const Case cases[] = {{"--help", 0}, {"frobnicate", 2}, {"formats extra", 2}};
  for (const Case& c : cases) EXPECT_EQ(run(c.args).status, c.status) << c.args;
  EXPECT_NE(run("--help").out.find("usage: quillon"), std::string::npos);
}

namespace fs = std::filesystem;

class QuillonFiles : public ScratchTest {
 protected:
  // A stereo 22050 Hz WAV of `frames` frames of a simple ramp.
  static void makewav(const std::string& p, int frames) {
    writewav(p, frames, 2, 22050, [](int i, int c) { return c == 0 ? i * 64 : -i * 32; });
  }
};

// Without a command quillon becomes its window program, found beside it or under libexec; a
// copy of quillon alone says where it looked.
TEST_F(QuillonFiles, WithoutTheWindowProgramNoCommandSaysWhereItLooked) {
  fs::copy_file(QUILLON_EXE, path("quillon"));
  const Result r = shell(path("quillon"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("the window program is not installed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(path("quillon-window")), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(path("../libexec/quillon/quillon-window")), std::string::npos) << r.out;
}

TEST_F(QuillonFiles, ConvertAndInfo) {
  makewav(path("in.wav"), 500);
  Result r = run("convert --rep u8_int " + path("in.wav") + " " + path("out.wav"));
  ASSERT_EQ(r.status, 0);
  r = run("info " + path("out.wav"));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("format 1: wave (Microsoft Wave)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2 channels, 22050 Hz, 500 frames, u8_int"), std::string::npos) << r.out;
  // Without --rep the nearest representation the target takes is kept: s16l_int stays.
  ASSERT_EQ(run("convert --format WAVE " + path("in.wav") + " " + path("copy.wav")).status, 0);
  EXPECT_EQ(slurp(path("copy.wav")), slurp(path("in.wav")));
  EXPECT_TRUE(fs::directory_iterator(dir_) != fs::directory_iterator());
  for (const auto& e : fs::directory_iterator(dir_))  // no temporary files left behind
    EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
}

TEST_F(QuillonFiles, StreamRoundTripFollowsTheOriginal) {
  struct Case {
    int channels, rate;
  };
  const Case cases[] = {{1, 8000}, {2, 11025}, {3, 22050}, {4, 32000}, {2, 44100}, {1, 48000}, {4, 48000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " channels at " << c.rate << " Hz");
    const int frames = c.rate / 2;
    writemusic(path("in.wav"), frames, c.channels, c.rate);
    ASSERT_EQ(run("convert --format pcstream --rep qvxa_blk " + path("in.wav") + " " + path("x.asf")).status,
              0);
    ASSERT_EQ(run("convert " + path("x.asf") + " " + path("back.wav")).status, 0);
    const std::vector<int16_t> a = samplesof(path("in.wav")), b = samplesof(path("back.wav"));
    ASSERT_EQ(a.size(), b.size());
    EXPECT_GT(snr(a, b), 28.0);  // 31 dB at 8 kHz to 36 dB at 48 kHz
  }
}

TEST_F(QuillonFiles, ImportReportsEachStep) {
  makewav(path("My.Tune.wav"), 3000);
  fs::create_directories(dir_ / "Ditties");
  // Backslashes and letter case that differ from the folder on disk are accepted.
  const Result r = run("import --reverb 5 '" + path("My.Tune.wav") + "' '" + dir_.string() + "\\ditties'");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out,
            "Opening...\nReading...\nFading...\nWriting...\nDone\nWrote " + path("Ditties/My.asf") + "\n");
  EXPECT_TRUE(fs::exists(dir_ / "Ditties" / "My.asf"));
}

TEST_F(QuillonFiles, ImportTakesSeveralInputsAndGoesOnAfterAFailure) {
  makewav(path("one.wav"), 2000);
  makewav(path("two.wav"), 3000);
  std::ofstream(path("junk.bin")) << "not a sound file at all";
  fs::create_directories(dir_ / "out");
  const Result r = run(
      "import " + path("one.wav") + " " + path("junk.bin") + " " + path("two.wav") + " " + path("out"), true);
  EXPECT_EQ(r.status, 1);
  const std::string steps = "Opening...\nReading...\nFading...\nWriting...\nDone\n";
  EXPECT_EQ(r.out, "[1/3] " + path("one.wav") + "\n" + steps + "Wrote " + path("out/one.asf") + "\n[2/3] " +
                       path("junk.bin") + "\nOpening...\nUnknown file format in " + path("junk.bin") +
                       "\n[3/3] " + path("two.wav") + "\n" + steps + "Wrote " + path("out/two.asf") + "\n");
  EXPECT_TRUE(fs::exists(dir_ / "out" / "one.asf"));
  EXPECT_TRUE(fs::exists(dir_ / "out" / "two.asf"));
  EXPECT_FALSE(fs::exists(dir_ / "out" / "junk.asf"));
  EXPECT_EQ(run("import " + path("one.wav") + " " + path("two.wav") + " " + path("out")).status, 0);
}

TEST_F(QuillonFiles, FailuresLeaveTheTargetUntouched) {
  makewav(path("in.wav"), 10);
  makewav(path("cut.wav"), 1000);
  fs::resize_file(path("cut.wav"), 1000);
  std::ofstream(path("keep.wav")) << "precious";
  std::ofstream(path("junk.bin")) << "not a sound file at all";
  struct Case {
    std::string args;
    int status;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"convert " + path("missing.wav") + " " + path("keep.wav"), 1, "Could not open "},
      {"convert " + path("junk.bin") + " " + path("keep.wav"), 1, "Unknown file format in "},
      {"convert --rep qvxa_blk " + path("in.wav") + " " + path("keep.wav"), 1,
       "This exporter does not support the sample representation specified."},
      {"convert --format nosuch " + path("in.wav") + " " + path("keep.wav"), 2, "unknown format 'nosuch'"},
      {"convert --rep nosuch " + path("in.wav") + " " + path("keep.wav"), 2,
       "unknown representation 'nosuch'"},
      {"convert " + path("in.wav") + " " + path("keep.xyz"), 2, "give --format NAME"},
      {"info " + path("junk.bin"), 1, "Unknown file format in "},
      {"import " + path("missing.wav") + " " + dir_.string(), 1, "Could not open "},
      {"import " + path("in.wav") + " " + path("nofolder"), 1, "/nofolder/in.asf for writing"},
      {"import " + path("in.wav") + " /proc", 1, "Could not open /proc/in.asf for writing"},
      {"import " + path("junk.bin") + " " + dir_.string(), 1, "Unknown file format in "},
      {"import " + path("cut.wav") + " " + dir_.string(), 1,
       "cut.wav: Couldn't read 16-bit samples from file."},
      {"import --reverb 128 " + path("in.wav") + " " + dir_.string(), 2,
       "--reverb takes a number from 0 to 127"},
      {"import --reverb -1 " + path("in.wav") + " " + dir_.string(), 2,
       "--reverb takes a number from 0 to 127"},
      {"import " + path("in.wav"), 2, "usage: quillon"},
      {"info", 2, "usage: quillon"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Result r = run(c.args, true);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
  }
  EXPECT_EQ(slurp(path("keep.wav")), "precious");
  EXPECT_FALSE(fs::exists(dir_ / "cut.asf"));
  EXPECT_FALSE(fs::exists(dir_ / "junk.asf"));
}

}  // namespace
