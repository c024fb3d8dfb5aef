// End-to-end tests of MPEG audio on the quillon command line: MP3 and MP2 files made by general
// tools are imported and converted, and WAV files are encoded to MP2 that general tools decode.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "quillon/app/apptest.h"

namespace {

namespace fs = std::filesystem;
using namespace apptest;

using MpegCli = ScratchTest;

// The imported stream, decoded back to PCM, follows the MPEG file as our decoder reads it, away
// from the fades (0.5 s in, 1.5 s out) that the import adds.
TEST_F(MpegCli, ImportFollowsTheDecodedFile) {
  struct Case {
    const char* tool;
    const char* name;
    const char* command;  // makes `name` from in.wav
    int rate, channels;
    double snr;  // lowest signal-to-noise ratio accepted, dB
  } cases[] = {
      {"lame", "song.mp3", "lame --quiet -b 160 in.wav song.mp3", 44100, 2, 35},
      {"lame", "mono.mp3", "lame --quiet -m m -b 64 in.wav mono.mp3", 22050, 1, 35},
      {"ffmpeg", "song.mp2", "ffmpeg -v error -y -i in.wav -c:a mp2 -b:a 192k song.mp2", 44100, 2, 35},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    if (!havetool(c.tool)) {
      std::printf("skipped (%s is not installed): %s\n", c.tool, c.command);
      continue;
    }
    writemusic(path("in.wav"), c.rate * 4, c.channels, c.rate);
    ASSERT_EQ(shell("cd '" + dir_.string() + "' && " + c.command).status, 0);
    fs::create_directories(dir_ / "out");
    const Result imp = quillon("import " + path(c.name) + " " + path("out"));
    ASSERT_EQ(imp.status, 0) << imp.out;
    const std::string base = fs::path(c.name).stem().string();
    ASSERT_EQ(quillon("convert " + path("out/" + base + ".asf") + " " + path("back.wav")).status, 0);
    ASSERT_EQ(quillon("convert " + path(c.name) + " " + path("direct.wav")).status, 0);
    const std::vector<int16_t> a = samplesof(path("direct.wav")), b = samplesof(path("back.wav"));
    ASSERT_EQ(a.size(), b.size());
    ASSERT_GT(a.size(), static_cast<size_t>(c.rate * c.channels * 3));
    const size_t from = static_cast<size_t>(c.rate * 0.6) * c.channels;
    const size_t to = a.size() - static_cast<size_t>(c.rate * 1.6) * c.channels;
    const double ratio = snr(a, b, from, to);
    std::printf("%s: SNR of the imported stream against the decoded file %.1f dB\n", c.name, ratio);
    EXPECT_GT(ratio, c.snr);
  }
}

// WAV to MPEG through convert: general decoders read the result without complaint, at the length
// and loudness of the input.
TEST_F(MpegCli, ConvertEncodesWhatDecodersRead) {
  if (!havetool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  struct Case {
    const char* args;  // before input and output
    const char* output;
    int rate, channels;
    const char* layer;  // as ffprobe names the codec
  } cases[] = {
      {"--format mpeg --rep layer2", "out.mp2", 44100, 2, "mp2"},
      {"--rep layer2", "mono.mp2", 22050, 1, "mp2"},
      {"", "plain.mp2", 48000, 2, "mp1"},  // the nearest representation to 16-bit PCM is Layer 1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    const int frames = c.rate * 2;
    writemusic(path("in.wav"), frames, c.channels, c.rate);
    const Result r = quillon(std::string("convert ") + c.args + " " + path("in.wav") + " " + path(c.output));
    ASSERT_EQ(r.status, 0) << r.out;
    const Result probe =
        shell("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 " +
              path(c.output));
    EXPECT_EQ(probe.out,
              std::string(c.layer) + "," + std::to_string(c.rate) + "," + std::to_string(c.channels) + "\n");
    const Result dec =
        shell("ffmpeg -v error -y -i " + path(c.output) + " -f wav -c:a pcm_s16le " + path("dec.wav"));
    EXPECT_EQ(dec.status, 0);
    EXPECT_EQ(dec.out, "");  // no decoding errors
    if (havetool("mpg123")) {
      const Result m = shell("mpg123 -q -t " + path(c.output));
      EXPECT_EQ(m.status, 0);
      EXPECT_EQ(m.out, "");
    }
    const std::vector<int16_t> in = samplesof(path("in.wav"));
    std::vector<int16_t> out = samplesof(path("dec.wav"));
    const size_t perframe = std::string(c.layer) == "mp1" ? 384 : 1152;
    EXPECT_GE(out.size() + perframe * c.channels, in.size());
    EXPECT_LE(out.size(), in.size() + 2 * perframe * c.channels);
    double ein = 0, eout = 0;
    for (int16_t v : in) ein += static_cast<double>(v) * v;
    for (int16_t v : out) eout += static_cast<double>(v) * v;
    EXPECT_NEAR(10 * std::log10(eout / ein), 0.0, 1.0);
  }
}

// Sample rates and representations the MPEG writer cannot take: a message and no file.
TEST_F(MpegCli, RefusedConversionsLeaveNoFile) {
  struct Case {
    const char* args;
    int rate;
    const char* message;
  } cases[] = {
      {"--format mpeg --rep layer2", 11025, "Invalid sample rate for MPEG."},
      {"--format mpeg --rep layer1", 8000, "Invalid sample rate for MPEG."},
      {"--format mpeg --rep layer3", 44100,
       "This exporter does not support the sample representation specified."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    writemusic(path("in.wav"), 5000, 2, c.rate);
    const Result r = quillon(std::string("convert ") + c.args + " " + path("in.wav") + " " + path("x.mp2"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Write failed for " + path("x.mp2") + ": " + c.message), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(path("x.mp2")));
  }
}

}  // namespace
