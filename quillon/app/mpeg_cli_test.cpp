// End-to-end tests of MPEG audio on the quillon command line: MP3 and MP2 files made by general
// tools are imported and converted, and WAV files are encoded to MP2 that general tools decode.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string out;
};

// Runs a shell command with standard error kept in the output.
Result shell(const std::string& command) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  Result r{-1, {}};
  if (!p) return r;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  const int raw = pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

Result quillon(const std::string& args) {
  return shell(std::string(QUILLON_EXE) + " " + args);
}

bool havetool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string slurp(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Music-like: two partials per channel under a pulsing envelope, plus a little noise.
void writemusic(const std::string& p, int frames, int channels, int rate) {
  std::string b = "RIFF....WAVEfmt ";
  const auto put = [&b](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
  };
  put(16, 4), put(1, 2), put(channels, 2), put(rate, 4), put(rate * channels * 2, 4), put(channels * 2, 2);
  put(16, 2);
  b += "data";
  put(frames * channels * 2, 4);
  uint32_t seed = 1;
  for (int i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double env = 0.55 + 0.45 * std::sin(2 * M_PI * 1.5 * t);
    for (int c = 0; c < channels; ++c) {
      seed = seed * 1664525u + 1013904223u;
      const double v = env * (9000 * std::sin(2 * M_PI * (220.0 + 55 * c) * t) +
                              4000 * std::sin(2 * M_PI * (660.0 + 110 * c) * t)) +
                       static_cast<int32_t>(seed >> 23) - 256;
      put(static_cast<uint32_t>(static_cast<int16_t>(v)), 2);
    }
  }
  const uint32_t riff = static_cast<uint32_t>(b.size() - 8);
  for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<char>(riff >> (8 * i));
  std::ofstream(p, std::ios::binary) << b;
}

// The interleaved 16-bit samples of a WAV this program wrote (44-byte header).
std::vector<int16_t> samplesof(const std::string& p) {
  const std::string b = slurp(p);
  std::vector<int16_t> v(b.size() > 44 ? (b.size() - 44) / 2 : 0);
  for (size_t i = 0; i < v.size(); ++i)
    v[i] =
        static_cast<int16_t>(static_cast<uint8_t>(b[44 + 2 * i]) | static_cast<uint8_t>(b[45 + 2 * i]) << 8);
  return v;
}

class MpegCli : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quillon_mpeg_cli_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

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
    double signal = 0, noise = 0;
    for (size_t i = from; i < to; ++i) {
      const double x = a[i], e = x - b[i];
      signal += x * x;
      noise += e * e;
    }
    const double snr = 10 * std::log10(signal / std::max(noise, 1.0));
    std::printf("%s: SNR of the imported stream against the decoded file %.1f dB\n", c.name, snr);
    EXPECT_GT(snr, c.snr);
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
