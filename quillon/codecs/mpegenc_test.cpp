// Tests of the MPEG Layer 1/2 encoder: settings and their messages, frame headers and padding,
// the sink contract, and decoding of the output by outside MPEG decoders used as black boxes.
#include "quillon/codecs/mpegenc.h"
#include "quillon/codecs/mpegenc_tables.h"
#include "quillon/codecs/mpegwindow.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Music-like stereo test signal: a pad of chords with harmonics, a plucked bass, and drum hits
// made of decaying, low-passed noise bursts, mixed differently into the two channels.
struct Signal {
  std::vector<int16_t> left, right;
  const int16_t* ch[2];
};

Signal make_music(int rate, double seconds) {
  Signal s;
  const int n = static_cast<int>(rate * seconds);
  s.left.resize(n);
  s.right.resize(n);
  const double pi = std::acos(-1.0);
  const double chords[4][3] = {
      {220.0, 261.63, 329.63}, {174.61, 220.0, 261.63}, {196.0, 261.63, 329.63}, {196.0, 246.94, 293.66}};
  uint32_t seed = 12345;
  double lp = 0.0;
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    const int bar = static_cast<int>(t / 0.5) % 4;
    double pad = 0.0;
    for (int v = 0; v < 3; ++v)
      for (int h = 1; h <= 4; ++h) pad += std::sin(2 * pi * chords[bar][v] * h * t) / (h * h);
    pad *= 0.08;
    const double beat = std::fmod(t, 0.25);
    const double bass = 0.2 * std::exp(-beat * 8.0) * std::sin(2 * pi * chords[bar][0] * 0.5 * t);
    seed = seed * 1664525u + 1013904223u;
    const double white = static_cast<double>(seed >> 8) / 8388608.0 - 1.0;
    lp += 0.3 * (white - lp);
    const double drum = 0.35 * std::exp(-beat * 30.0) * lp;
    const double l = pad + bass + drum;
    const double r = 0.7 * pad + bass + 0.6 * drum + 0.03 * std::sin(2 * pi * 1500.0 * t);
    s.left[i] = static_cast<int16_t>(std::lround(std::clamp(l, -1.0, 1.0) * 30000.0));
    s.right[i] = static_cast<int16_t>(std::lround(std::clamp(r, -1.0, 1.0) * 30000.0));
  }
  s.ch[0] = s.left.data();
  s.ch[1] = s.right.data();
  return s;
}

struct Recorder {
  std::vector<uint8_t> bytes;
  std::vector<int32_t> writes;
  int fail_after = -1;  // refuse the write with this index
};

int record_write(void* context, const uint8_t* data, int32_t n) {
  auto* r = static_cast<Recorder*>(context);
  if (r->fail_after >= 0 && static_cast<int>(r->writes.size()) >= r->fail_after) return 0;
  r->writes.push_back(n);
  r->bytes.insert(r->bytes.end(), data, data + n);
  return 1;
}

struct Encoded {
  int ok = 0;
  const char* message = "";
  Recorder rec;
};

Encoded encode(const mpegenc_params& p, const Signal& s, int32_t numsamples) {
  Encoded e;
  const mpegenc_sink sink{record_write, &e.rec};
  e.ok = mpegenc_encodeparams(&p, s.ch, numsamples, &sink, nullptr, &e.message);
  return e;
}

mpegenc_params params(int layer, int rate, int bitrate, int channels) {
  return mpegenc_params{layer, MPEGENC_VERSION_AUTO, rate, bitrate, channels};
}

// ---- settings ------------------------------------------------------------------------------

struct BadCase {
  mpegenc_params p;
  const char* message;
};

void PrintTo(const BadCase& c, std::ostream* os) {
  *os << "L" << c.p.layer << "_v" << c.p.version << "_" << c.p.samplerate << "Hz_" << c.p.bitrate << "bps_"
      << c.p.numchannels << "ch";
}

class RejectedSettings : public ::testing::TestWithParam<BadCase> {};

TEST_P(RejectedSettings, GiveTheirMessageAndWriteNothing) {
  const BadCase& c = GetParam();
  const Signal s = make_music(c.p.samplerate > 0 ? c.p.samplerate : 44100, 0.1);
  const Encoded e = encode(c.p, s, static_cast<int32_t>(s.left.size()));
  EXPECT_EQ(e.ok, 0);
  EXPECT_STREQ(e.message, c.message);
  EXPECT_TRUE(e.rec.writes.empty());
  const char* check_message = "";
  EXPECT_EQ(mpegenc_checkparams(&c.p, &check_message), 0);
  EXPECT_STREQ(check_message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RejectedSettings,
    ::testing::Values(
        BadCase{params(2, 44000, 192000, 2), "Invalid sample rate for MPEG."},
        BadCase{params(2, 11025, 64000, 1), "Invalid sample rate for MPEG."},
        BadCase{params(1, 0, 192000, 2), "Invalid sample rate for MPEG."},
        BadCase{{2, MPEGENC_VERSION_MPEG1, 22050, 64000, 2}, "Invalid sample rate for MPEG type."},
        BadCase{{1, MPEGENC_VERSION_LSF, 48000, 64000, 2}, "Invalid sample rate for MPEG type."},
        BadCase{params(2, 44100, 448000, 2), "Invalid bitrate for MPEG type."},  // Layer 1 only
        BadCase{params(2, 22050, 192000, 2), "Invalid bitrate for MPEG type."},  // MPEG-1 only
        BadCase{params(1, 24000, 288000, 2), "Invalid bitrate for MPEG type."},  // MPEG-1 only
        BadCase{params(2, 44100, 191000, 2), "Invalid bitrate for MPEG type."},
        BadCase{params(2, 44100, 0, 2), "Invalid bitrate for MPEG type."},  // free format
        BadCase{params(2, 44100, -192000, 2), "Invalid bitrate for MPEG type."},
        BadCase{params(1, 44100, 32000, 2), "Invalid bitrate for MPEG type."},  // frame < side info
        BadCase{params(3, 44100, 192000, 2), "Invalid layer for MPEG encoder."},
        BadCase{params(2, 44100, 192000, 3), "MPEG encoder handles one or two channels only."}));

TEST(MpegEncoderSettings, EveryTableBitRateOfEveryRateIsAccepted) {
  const int rates[2][3] = {{32000, 44100, 48000}, {16000, 22050, 24000}};
  const int kbps[2][2][14] = {{{32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
                               {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384}},
                              {{32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
                               {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  for (int v = 0; v < 2; ++v)
    for (int layer = 1; layer <= 2; ++layer)
      for (int rate : rates[v])
        for (int k : kbps[v][layer - 1]) {
          const char* message = nullptr;
          // Thousands below the next kbit/s are dropped, as the rate is given in bits per second.
          EXPECT_EQ(mpegenc_check(layer, rate, k * 1000 + 999, &message), 1)
              << "layer " << layer << " rate " << rate << " kbps " << k << ": " << message;
          const mpegenc_params forced{layer, v == 0 ? MPEGENC_VERSION_MPEG1 : MPEGENC_VERSION_LSF, rate,
                                      k * 1000, 1};
          EXPECT_EQ(mpegenc_checkparams(&forced, &message), 1) << "forced version: " << message;
        }
}

TEST(MpegEncoderSettings, NoSamplesWritesNothingAndSucceeds) {
  const Signal s = make_music(44100, 0.01);
  const Encoded e = encode(params(2, 44100, 192000, 2), s, 0);
  EXPECT_EQ(e.ok, 1);
  EXPECT_TRUE(e.rec.bytes.empty());
}

// ---- analysis window ------------------------------------------------------------------------

// A mistyped window coefficient hides in a lossy round trip but breaks the prototype's shape: its
// response must stay power complementary across each band edge (which is what cancels the
// aliasing between neighbouring subbands) and keep its stop band deep.
TEST(MpegEncoderWindow, PrototypeIsPowerComplementaryWithADeepStopBand) {
  double h[512];
  for (int i = 0; i < 512; ++i) h[i] = mpeg_window_prototype[i <= 256 ? i : 512 - i];
  const auto response = [&](double w) {
    double re = 0.0, im = 0.0;
    for (int n = 0; n < 512; ++n) {
      re += h[n] * std::cos(w * n);
      im -= h[n] * std::sin(w * n);
    }
    return std::sqrt(re * re + im * im);
  };
  const double pi = std::acos(-1.0);
  const double dc = response(0.0);
  for (int k = 0; k <= 16; ++k) {
    const double w = k / 16.0 * pi / 32.0;
    const double a = response(w) / dc, b = response(pi / 32.0 - w) / dc;
    EXPECT_NEAR(a * a + b * b, 1.0, 1e-3) << "at " << k << "/16 of the band";
  }
  double stop = 0.0;
  for (double w = pi / 32.0 * 1.5; w < pi; w += pi / 2048.0) stop = std::max(stop, response(w) / dc);
  EXPECT_LT(20.0 * std::log10(stop), -100.0);
  // The prototype is smooth to within a few units of its last digit: a typo sticks out of its
  // third differences.
  for (int i = 3; i < 512; ++i)
    EXPECT_LE(std::fabs(h[i] - 3 * h[i - 1] + 3 * h[i - 2] - h[i - 3]), 12.0) << i;
}

// ---- frame headers, padding, sink ---------------------------------------------------------

struct Header {
  int version_bit, layer, protection, bitrate_index, rate_index, padding, mode;
};

Header parse_header(const uint8_t* b) {
  const uint32_t h = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  return Header{static_cast<int>((h >> 19) & 1), 4 - static_cast<int>((h >> 17) & 3),
                static_cast<int>((h >> 16) & 1), static_cast<int>((h >> 12) & 15),
                static_cast<int>((h >> 10) & 3), static_cast<int>((h >> 9) & 1),
                static_cast<int>((h >> 6) & 3)};
}

struct FrameCase {
  int layer, rate, kbps, channels, version_bit, bitrate_index, rate_index;
  int32_t numsamples;
};

void PrintTo(const FrameCase& c, std::ostream* os) {
  *os << "L" << c.layer << "_" << c.rate << "Hz_" << c.kbps << "k_" << c.channels << "ch_" << c.numsamples;
}

class FrameLayout : public ::testing::TestWithParam<FrameCase> {};

// Walks the stream header by header: every frame has the settings' fields, its length follows
// from the bit rate and its padding bit, and the padding bits spread the fractional slot evenly.
TEST_P(FrameLayout, HeadersLengthsAndPaddingFollowTheBitRate) {
  const FrameCase& c = GetParam();
  const Signal s = make_music(c.rate, static_cast<double>(c.numsamples) / c.rate + 0.01);
  const mpegenc_params p = params(c.layer, c.rate, c.kbps * 1000, c.channels);
  const Encoded e = encode(p, s, c.numsamples);
  ASSERT_EQ(e.ok, 1) << e.message;
  const int framesamples = c.layer == 1 ? 384 : 1152;
  const int slot = c.layer == 1 ? 4 : 1;
  const int64_t slots_times_rate = int64_t{c.kbps} * 1000 * framesamples / (8 * slot);
  const int64_t whole = slots_times_rate / c.rate, frac = slots_times_rate % c.rate;

  const std::vector<uint8_t>& b = e.rec.bytes;
  size_t pos = 0;
  int64_t frames = 0, padded = 0;
  while (pos + 4 <= b.size()) {
    ASSERT_EQ(b[pos], 0xFF) << "frame " << frames;
    ASSERT_EQ(b[pos + 1] & 0xF0, 0xF0) << "frame " << frames;
    const Header h = parse_header(&b[pos]);
    EXPECT_EQ(h.version_bit, c.version_bit);
    EXPECT_EQ(h.layer, c.layer);
    EXPECT_EQ(h.protection, 1);
    EXPECT_EQ(h.bitrate_index, c.bitrate_index);
    EXPECT_EQ(h.rate_index, c.rate_index);
    EXPECT_EQ(h.mode, c.channels == 2 ? 0 : 3);
    // After f + 1 frames exactly floor((f + 1) * frac / rate) of them carry a padding slot.
    const int64_t expected_padding = (frames + 1) * frac / c.rate - frames * frac / c.rate;
    EXPECT_EQ(h.padding, expected_padding) << "frame " << frames;
    padded += h.padding;
    pos += static_cast<size_t>((whole + h.padding) * slot);
    ++frames;
  }
  EXPECT_EQ(pos, b.size());
  EXPECT_EQ(frames, (c.numsamples + framesamples - 1) / framesamples);
  EXPECT_EQ(static_cast<int64_t>(b.size()), mpegenc_streambytes(&p, c.numsamples));
  if (frac != 0 && frames > c.rate / std::gcd(frac, int64_t{c.rate})) {
    EXPECT_GT(padded, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrameLayout,
    ::testing::Values(
        // 44.1 kHz: 626.94 bytes per Layer 2 frame, 17.41 four-byte slots per Layer 1 frame.
        FrameCase{2, 44100, 192, 2, 1, 10, 0, 1152 * 120 + 1},
        FrameCase{1, 44100, 192, 2, 1, 6, 0, 384 * 300 - 5}, FrameCase{2, 44100, 32, 1, 1, 1, 0, 1152 * 60},
        FrameCase{2, 22050, 64, 2, 0, 8, 0, 1152 * 50 + 700},
        FrameCase{1, 22050, 56, 1, 0, 3, 0, 384 * 100 + 1},
        // Rates that divide the bit rate evenly never pad.
        FrameCase{2, 48000, 384, 2, 1, 14, 1, 1152 * 10}, FrameCase{1, 32000, 448, 2, 1, 14, 2, 384 * 20 + 1},
        FrameCase{2, 16000, 8, 1, 0, 1, 2, 1152 * 5 + 1}));

TEST(MpegEncoderSink, ReceivesFullBuffersAndStopsOnFailure) {
  const Signal s = make_music(44100, 2.0);
  const mpegenc_params p = params(2, 44100, 192000, 2);
  const Encoded e = encode(p, s, static_cast<int32_t>(s.left.size()));
  ASSERT_EQ(e.ok, 1);
  ASSERT_GT(e.rec.writes.size(), 2u);
  for (size_t i = 0; i + 1 < e.rec.writes.size(); ++i) EXPECT_EQ(e.rec.writes[i], 4096);
  EXPECT_GT(e.rec.writes.back(), 0);
  EXPECT_LE(e.rec.writes.back(), 4096);

  Encoded failed;
  failed.rec.fail_after = 1;
  const mpegenc_sink sink{record_write, &failed.rec};
  failed.ok =
      mpegenc_encodeparams(&p, s.ch, static_cast<int32_t>(s.left.size()), &sink, nullptr, &failed.message);
  EXPECT_EQ(failed.ok, 0);
  EXPECT_STREQ(failed.message, "Couldn't write MPEG data.");
  EXPECT_EQ(failed.rec.writes.size(), 1u);
}

std::vector<int> g_progress;
void record_progress(int percent) {
  g_progress.push_back(percent);
}

TEST(MpegEncoderSink, ProgressRisesToOneHundred) {
  const Signal s = make_music(32000, 1.0);
  const mpegenc_params p = params(1, 32000, 128000, 1);
  std::vector<uint8_t> out;
  const mpegenc_sink sink{mpegenc_vectorwrite, &out};
  g_progress.clear();
  ASSERT_EQ(
      mpegenc_encodeparams(&p, s.ch, static_cast<int32_t>(s.left.size()), &sink, record_progress, nullptr),
      1);
  ASSERT_FALSE(g_progress.empty());
  EXPECT_EQ(g_progress.front(), 0);
  EXPECT_EQ(g_progress.back(), 100);
  for (size_t i = 1; i < g_progress.size(); ++i) EXPECT_GT(g_progress[i], g_progress[i - 1]);
  EXPECT_EQ(static_cast<int64_t>(out.size()), mpegenc_streambytes(&p, static_cast<int32_t>(s.left.size())));
}

// ---- outside decoders ------------------------------------------------------------------------

bool have_tool(const char* name) {
  const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

class TempDir {
 public:
  TempDir() {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& ch : name)
      if (ch == '/') ch = '_';
    path_ = fs::temp_directory_path() / ("mpegenc_test_" + std::to_string(getpid()) + "_" + name);
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path file(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

std::vector<uint8_t> read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Decodes with the named tool to native 16-bit PCM; fails when the tool reports anything on its
// error output or exits with a failure.
bool decode(const std::string& tool, const TempDir& dir, const std::vector<uint8_t>& stream,
            std::vector<int16_t>* pcm, std::string* errors) {
  const fs::path in = dir.file(tool + ".mp2"), out = dir.file(tool + ".raw"), err = dir.file(tool + ".err");
  write_file(in, stream);
  std::string cmd;
  if (tool == "ffmpeg")
    cmd = "ffmpeg -nostdin -v error -y -i '" + in.string() + "' -f s16le -acodec pcm_s16le '" + out.string() +
          "' 2>'" + err.string() + "'";
  else
    cmd = "mpg123 -q -s '" + in.string() + "' >'" + out.string() + "' 2>'" + err.string() + "'";
  const int rc = std::system(cmd.c_str());
  const std::vector<uint8_t> e = read_file(err);
  *errors = std::string(e.begin(), e.end());
  const std::vector<uint8_t> raw = read_file(out);
  pcm->resize(raw.size() / 2);
  for (size_t i = 0; i < pcm->size(); ++i)
    (*pcm)[i] = static_cast<int16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
  return rc == 0 && errors->empty();
}

// Signal-to-noise ratio of the decoded sound against the source, at the decoder delay (searched,
// as each decoder adds its own) that matches best.
double snr_db(const Signal& s, int channels, const std::vector<int16_t>& pcm, int* delay_out) {
  const int64_t n = static_cast<int64_t>(s.left.size());
  const int64_t m = static_cast<int64_t>(pcm.size()) / channels;
  const int64_t skip = 4096, probe = 16384;
  int best_delay = 0;
  double best_corr = -1e300;
  for (int d = 0; d <= 1600; ++d) {
    double corr = 0.0;
    for (int64_t i = skip; i < skip + probe && i + d < m && i < n; ++i)
      corr += static_cast<double>(s.left[i]) * pcm[(i + d) * channels];
    if (corr > best_corr) {
      best_corr = corr;
      best_delay = d;
    }
  }
  double sig = 0.0, noise = 0.0;
  for (int64_t i = 0; i < n && i + best_delay < m; ++i)
    for (int c = 0; c < channels; ++c) {
      const double x = s.ch[c][i];
      const double y = pcm[(i + best_delay) * channels + c];
      sig += x * x;
      noise += (x - y) * (x - y);
    }
  *delay_out = best_delay;
  return 10.0 * std::log10(sig / std::max(noise, 1e-9));
}

struct DecodeCase {
  int layer, rate, kbps, channels;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << "L" << c.layer << "_" << c.rate << "Hz_" << c.kbps << "k_" << c.channels << "ch";
}

class OutsideDecoders : public ::testing::TestWithParam<DecodeCase> {};

// Every allocation table, both layers and both versions decode without complaint, to exactly the
// frames written.
TEST_P(OutsideDecoders, DecodeWithoutErrors) {
  const DecodeCase& c = GetParam();
  const Signal s = make_music(c.rate, 0.8);
  const int32_t n = static_cast<int32_t>(s.left.size());
  const Encoded e = encode(params(c.layer, c.rate, c.kbps * 1000, c.channels), s, n);
  ASSERT_EQ(e.ok, 1) << e.message;
  const int framesamples = c.layer == 1 ? 384 : 1152;
  const size_t expected =
      static_cast<size_t>((n + framesamples - 1) / framesamples) * framesamples * c.channels;
  TempDir dir;
  int tools = 0;
  for (const char* tool : {"ffmpeg", "mpg123"}) {
    if (!have_tool(tool)) continue;
    ++tools;
    std::vector<int16_t> pcm;
    std::string errors;
    EXPECT_TRUE(decode(tool, dir, e.rec.bytes, &pcm, &errors)) << tool << ": " << errors;
    EXPECT_EQ(pcm.size(), expected) << tool;
  }
  if (tools == 0) GTEST_SKIP() << "neither ffmpeg nor mpg123 is installed";
}

INSTANTIATE_TEST_SUITE_P(Table, OutsideDecoders,
                         ::testing::Values(DecodeCase{2, 44100, 192, 2},  // 30 subbands
                                           DecodeCase{2, 48000, 64, 1},   // 27 subbands
                                           DecodeCase{2, 44100, 32, 2},   // 8 subbands
                                           DecodeCase{2, 32000, 48, 2},   // 12 subbands
                                           DecodeCase{2, 32000, 384, 1},  // 30 subbands
                                           DecodeCase{2, 24000, 160, 2},  // lower rates
                                           DecodeCase{2, 16000, 8, 1}, DecodeCase{2, 22050, 64, 2},
                                           DecodeCase{1, 44100, 192, 2}, DecodeCase{1, 48000, 448, 2},
                                           DecodeCase{1, 32000, 32, 1}, DecodeCase{1, 22050, 128, 2},
                                           DecodeCase{1, 16000, 256, 1}));

// Digital silence must stay silent, and music clipped hard at full scale (square-like edges whose
// subband peaks reach the largest scale factor) must saturate cleanly instead of wrapping.
TEST(OutsideDecodersExtremes, SilenceStaysSilentAndFullScaleSaturatesCleanly) {
  if (!have_tool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  const int rate = 44100;
  Signal square = make_music(rate, 1.0);
  const int n = static_cast<int>(square.left.size());
  for (std::vector<int16_t>* ch : {&square.left, &square.right})
    for (int16_t& v : *ch) v = v > 2000 ? 32767 : v < -2000 ? -32768 : static_cast<int16_t>(v * 16);
  Signal silence;
  silence.left.assign(n, 0);
  silence.right.assign(n, 0);
  silence.ch[0] = silence.left.data();
  silence.ch[1] = silence.right.data();
  TempDir dir;
  for (int layer = 1; layer <= 2; ++layer) {
    std::vector<int16_t> pcm;
    std::string errors;
    const Encoded quiet = encode(params(layer, rate, 192000, 2), silence, n);
    ASSERT_EQ(quiet.ok, 1);
    ASSERT_TRUE(decode("ffmpeg", dir, quiet.rec.bytes, &pcm, &errors)) << errors;
    int peak = 0;
    for (int16_t v : pcm) peak = std::max(peak, std::abs(static_cast<int>(v)));
    EXPECT_LE(peak, 1) << "layer " << layer;

    const Encoded loud = encode(params(layer, rate, 192000, 2), square, n);
    ASSERT_EQ(loud.ok, 1);
    ASSERT_TRUE(decode("ffmpeg", dir, loud.rec.bytes, &pcm, &errors)) << errors;
    int delay = 0;
    const double snr = snr_db(square, 2, pcm, &delay);
    std::printf("Layer %d, clipped music at full scale: SNR %.2f dB\n", layer, snr);
    EXPECT_GE(snr, 15.0) << "layer " << layer << " delay " << delay;
  }
}

// The decoder check itself must notice a broken stream: the third frame's header claims another
// bit rate, so the frame after it is not where that header says.
TEST(OutsideDecodersCheck, CorruptStreamIsNoticed) {
  if (!have_tool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  const Signal s = make_music(44100, 0.5);
  Encoded e = encode(params(2, 44100, 192000, 2), s, static_cast<int32_t>(s.left.size()));
  ASSERT_EQ(e.ok, 1);
  std::vector<uint8_t>& b = e.rec.bytes;
  size_t third = 0;
  for (int f = 0; f < 2; ++f) third += 626 + parse_header(&b[third]).padding;
  ASSERT_LT(third + 4, b.size());
  ASSERT_EQ(b[third], 0xFF);
  b[third + 2] = static_cast<uint8_t>((b[third + 2] & 0x0F) | (11 << 4));  // 224 kbit/s
  TempDir dir;
  std::vector<int16_t> pcm;
  std::string errors;
  EXPECT_FALSE(decode("ffmpeg", dir, e.rec.bytes, &pcm, &errors));
}

struct QualityCase {
  int layer;
  const char* tool;
};

void PrintTo(const QualityCase& c, std::ostream* os) {
  *os << "L" << c.layer << "_" << c.tool;
}

class DecodedQuality : public ::testing::TestWithParam<QualityCase> {};

TEST_P(DecodedQuality, StereoAt192kbpsMatchesTheSource) {
  const QualityCase& c = GetParam();
  if (!have_tool(c.tool)) GTEST_SKIP() << c.tool << " is not installed";
  const Signal s = make_music(44100, 3.0);
  const Encoded e = encode(params(c.layer, 44100, 192000, 2), s, static_cast<int32_t>(s.left.size()));
  ASSERT_EQ(e.ok, 1) << e.message;
  TempDir dir;
  std::vector<int16_t> pcm;
  std::string errors;
  ASSERT_TRUE(decode(c.tool, dir, e.rec.bytes, &pcm, &errors)) << errors;
  int delay = 0;
  const double snr = snr_db(s, 2, pcm, &delay);
  std::printf("Layer %d, 192 kbit/s stereo, %s: SNR %.2f dB at a delay of %d samples\n", c.layer, c.tool, snr,
              delay);
  RecordProperty("snr_db", std::to_string(snr));
  EXPECT_GE(snr, 20.0);
}

INSTANTIATE_TEST_SUITE_P(Table, DecodedQuality,
                         ::testing::Values(QualityCase{1, "ffmpeg"}, QualityCase{1, "mpg123"},
                                           QualityCase{2, "ffmpeg"}, QualityCase{2, "mpg123"}));

}  // namespace
