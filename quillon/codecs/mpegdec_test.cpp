// Tests of the MPEG audio decoder on hand-made frames (header acceptance, frame geometry, Layer 1
// against Layer 2, CRC, limiting, reading in pieces) and on damaged streams (cuts, a cut reservoir,
// lying side information, garbage).
#include "quillon/codecs/mpegdec.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <utility>

#include "quillon/codecs/mpegdec_internal.h"
#include "quillon/codecs/mpegdec_test_util.h"

namespace {

using namespace mpegdec_test;
namespace fs = std::filesystem;

int body_bytes(const std::vector<uint8_t>& header) {
  MpegDecoder* dec = mpegdec_create();
  MpegHeader h;
  int n = -1;
  if (mpegdec_open(dec, header.data(), header.size()) == 0 && dec->peek_header(h)) n = h.body_bytes;
  mpegdec_destroy(dec);
  return n;
}

std::vector<uint8_t> concat(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> r;
  for (const auto& p : parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}

// ---- Hand-made Layer 1 and Layer 2 frames carrying the same subband samples ----
//
// MPEG-1, 48 kHz, single channel. Subbands 0..10 use the 15-level quantiser in both layers (Layer 1
// allocation 3; Layer 2 table for 48 kHz at 128 kbit/s: allocation 3 below subband 3, 5 above), so
// three Layer 1 frames and one Layer 2 frame describe identical subband samples.
constexpr int kUsedSubbands = 11;

struct SubbandData {
  int sf[3][32];          // scale factor index per Layer 1 frame (= Layer 2 part)
  uint32_t code[36][32];  // 4-bit sample codes 0..14, by time slot
};

SubbandData random_subbands(uint32_t seed) {
  SubbandData d{};
  Lcg rng(seed);
  for (auto& part : d.sf)
    for (int sb = 0; sb < 32; ++sb) part[sb] = 4 + static_cast<int>(rng.next() % 20);
  for (auto& slot : d.code)
    for (int sb = 0; sb < 32; ++sb) slot[sb] = rng.next() % 15;
  return d;
}

std::vector<uint8_t> layer1_frame(const SubbandData& d, int part, bool crc) {
  std::vector<uint8_t> frame = header_bytes(1, 1, crc, 4, 1, 0, 3);  // 128 kbit/s: 128 bytes
  BitWriter w;
  if (crc) w.put(0xBEEF, 16);  // never checked
  for (int sb = 0; sb < 32; ++sb) w.put(sb < kUsedSubbands ? 3 : 0, 4);
  for (int sb = 0; sb < kUsedSubbands; ++sb) w.put(d.sf[part][sb], 6);
  for (int s = 0; s < 12; ++s)
    for (int sb = 0; sb < kUsedSubbands; ++sb) w.put(d.code[part * 12 + s][sb], 4);
  const std::vector<uint8_t> body = w.finish(124);
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

std::vector<uint8_t> layer2_frame(const SubbandData& d, bool crc) {
  std::vector<uint8_t> frame = header_bytes(1, 2, crc, 8, 1, 0, 3);  // 128 kbit/s: 384 bytes
  BitWriter w;
  if (crc) w.put(0x1234, 16);
  for (int sb = 0; sb < 27; ++sb) {
    const int nbal = sb < 11 ? 4 : sb < 23 ? 3 : 2;
    w.put(sb < 3 ? 3 : sb < kUsedSubbands ? 5 : 0, nbal);
  }
  for (int sb = 0; sb < kUsedSubbands; ++sb) w.put(0, 2);  // three scale factors each
  for (int sb = 0; sb < kUsedSubbands; ++sb)
    for (int part = 0; part < 3; ++part) w.put(d.sf[part][sb], 6);
  for (int gr = 0; gr < 12; ++gr)
    for (int sb = 0; sb < kUsedSubbands; ++sb)
      for (int i = 0; i < 3; ++i) w.put(d.code[gr * 3 + i][sb], 4);
  const std::vector<uint8_t> body = w.finish(380);
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

std::vector<uint8_t> layer2_stream(int frames, bool crc) {
  std::vector<std::vector<uint8_t>> parts;
  for (int f = 0; f < frames; ++f) parts.push_back(layer2_frame(random_subbands(100 + f), crc));
  return concat(parts);
}

TEST(MpegDecoder, Layer1AndLayer2DecodeTheSameSubbandSamplesAlike) {
  std::vector<std::vector<uint8_t>> l1, l2;
  for (int f = 0; f < 4; ++f) {
    const SubbandData d = random_subbands(7 + f);
    for (int part = 0; part < 3; ++part) l1.push_back(layer1_frame(d, part, false));
    l2.push_back(layer2_frame(d, false));
  }
  for (MpegSynthPath path : {MpegSynthPath::kPlain, MpegSynthPath::kSse2, MpegSynthPath::kAvx2}) {
    if (!mpegdec_path_supported(path)) continue;
    const std::vector<int16_t> a = decode_all(concat(l1), 0, 4096, path);
    const std::vector<int16_t> b = decode_all(concat(l2), 0, 4096, path);
    ASSERT_EQ(a.size(), 4u * 1152u);
    EXPECT_EQ(a, b);
    // The content is not trivially silent.
    EXPECT_GT(*std::max_element(a.begin(), a.end()), 1000);
  }
}

TEST(MpegDecoder, CrcProtectedFramesDecodeLikeUnprotectedOnes) {
  std::vector<std::vector<uint8_t>> plain1, crc1;
  const SubbandData d = random_subbands(3);
  for (int part = 0; part < 3; ++part) {
    plain1.push_back(layer1_frame(d, part, false));
    crc1.push_back(layer1_frame(d, part, true));
  }
  const std::vector<int16_t> a = decode_all(concat(plain1)), b = decode_all(concat(crc1));
  ASSERT_EQ(a.size(), 3u * 384u);
  EXPECT_EQ(a, b);
  const std::vector<int16_t> c = decode_all(layer2_stream(3, false)), e = decode_all(layer2_stream(3, true));
  ASSERT_EQ(c.size(), 3u * 1152u);
  EXPECT_EQ(c, e);
}

struct GeometryCase {
  int version, layer, bitrate_index, sr_index, mode;
  int samples_per_frame, channels, sample_rate;
};

TEST(MpegDecoder, FrameGeometryAndChannelsFollowTheHeader) {
  const GeometryCase cases[] = {
      {1, 1, 4, 1, 3, 384, 1, 48000},  {2, 1, 4, 0, 0, 384, 2, 22050},  {1, 2, 8, 0, 0, 1152, 2, 44100},
      {2, 2, 8, 2, 3, 1152, 1, 16000}, {1, 3, 9, 2, 1, 1152, 2, 32000}, {1, 3, 9, 0, 3, 1152, 1, 44100},
      {2, 3, 8, 1, 3, 576, 1, 24000},  {2, 3, 8, 0, 1, 576, 2, 22050},
  };
  for (const GeometryCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "version " << c.version << " layer " << c.layer << " mode " << c.mode);
    const std::vector<uint8_t> header =
        header_bytes(c.version, c.layer, false, c.bitrate_index, c.sr_index, 0, c.mode);
    const int body = body_bytes(header);
    ASSERT_GT(body, 0);
    // All-zero bodies are valid silent frames in every layer.
    std::vector<uint8_t> stream;
    for (int f = 0; f < 5; ++f) {
      stream.insert(stream.end(), header.begin(), header.end());
      stream.insert(stream.end(), static_cast<size_t>(body), 0);
    }
    MpegDecoder* dec = mpegdec_create();
    ASSERT_EQ(mpegdec_open(dec, stream.data(), stream.size()), 0);
    EXPECT_EQ(mpegdec_samples_per_frame(dec), c.samples_per_frame);
    EXPECT_EQ(mpegdec_channels(dec), c.channels);
    EXPECT_EQ(mpegdec_sample_rate(dec), c.sample_rate);
    EXPECT_EQ(mpegdec_layer(dec), c.layer);
    EXPECT_EQ(mpegdec_frame_pcm_bytes(dec), c.samples_per_frame * 2 * c.channels);
    std::vector<int16_t> pcm(6 * 1152 * 2, 1);
    const size_t got = mpegdec_read(dec, pcm.data(), pcm.size() * 2);
    EXPECT_EQ(got, 5u * c.samples_per_frame * c.channels * 2);
    EXPECT_TRUE(std::all_of(pcm.begin(), pcm.begin() + static_cast<std::ptrdiff_t>(got / 2),
                            [](int16_t s) { return s == 0; }));
    mpegdec_destroy(dec);
  }
}

TEST(MpegDecoder, RefusesHeadersOutsideTheAcceptedSet) {
  struct Case {
    const char* what;
    std::vector<uint8_t> header;
  };
  const Case bad[] = {
      {"free format", header_bytes(1, 3, false, 0, 0, 0, 0)},
      {"MPEG-2.5", header_bytes(25, 3, false, 8, 0, 0, 0)},
      {"layer bits 00", header_bytes(1, 0, false, 9, 0, 0, 0)},
      {"bit rate index 15", header_bytes(1, 3, false, 15, 0, 0, 0)},
      {"sampling rate index 3", header_bytes(1, 3, false, 9, 3, 0, 0)},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> stream = c.header;
    stream.resize(2000, 0);
    MpegDecoder* dec = mpegdec_create();
    EXPECT_EQ(mpegdec_open(dec, stream.data(), stream.size()), -1);
    int16_t pcm[64];
    EXPECT_EQ(mpegdec_read(dec, pcm, sizeof pcm), 0u);
    mpegdec_destroy(dec);
  }
  // The positive twin: the same header with an ordinary bit rate is accepted.
  std::vector<uint8_t> good = header_bytes(1, 3, false, 9, 0, 0, 0);
  MpegDecoder* dec = mpegdec_create();
  EXPECT_EQ(mpegdec_open(dec, good.data(), good.size()), 0);
  mpegdec_destroy(dec);
  // A free-format frame after good frames ends decoding there.
  std::vector<uint8_t> stream = layer2_stream(2, false);
  std::vector<uint8_t> free = header_bytes(1, 2, false, 0, 1, 0, 3);
  free.resize(384, 0);
  stream.insert(stream.end(), free.begin(), free.end());
  EXPECT_EQ(decode_all(stream).size(), 2u * 1152u);
}

// A Layer 1 frame with a constant full-scale value in subband 0: the filter bank's output goes far
// beyond the 16-bit range and must be limited, not wrapped.
std::vector<uint8_t> dc_frames(int scale_index, uint32_t code, int frames) {
  std::vector<uint8_t> frame = header_bytes(1, 1, false, 4, 1, 0, 3);
  BitWriter w;
  w.put(14, 4);  // 15-bit samples
  for (int sb = 1; sb < 32; ++sb) w.put(0, 4);
  w.put(scale_index, 6);
  for (int s = 0; s < 12; ++s) w.put(code, 15);
  const std::vector<uint8_t> body = w.finish(124);
  frame.insert(frame.end(), body.begin(), body.end());
  std::vector<uint8_t> stream;
  for (int f = 0; f < frames; ++f) stream.insert(stream.end(), frame.begin(), frame.end());
  return stream;
}

TEST(MpegDecoder, SynthesisLimitsInsteadOfWrapping) {
  struct Case {
    int scale_index;
    uint32_t code;
    int lo, hi;  // expected range of the settled output
  };
  const Case cases[] = {
      {0, 32766, 32767, 32767},  // +2.0: twice full scale
      {0, 0, -32768, -32768},    // -2.0
      {6, 32766, 16000, 16800},  // +0.5: within range, not limited
      {6, 0, -16800, -16000},
  };
  for (MpegSynthPath path : {MpegSynthPath::kPlain, MpegSynthPath::kSse2, MpegSynthPath::kAvx2}) {
    if (!mpegdec_path_supported(path)) continue;
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message()
                   << "path " << static_cast<int>(path) << " scale " << c.scale_index << " code " << c.code);
      const std::vector<int16_t> pcm = decode_all(dc_frames(c.scale_index, c.code, 8), 0, 4096, path);
      ASSERT_EQ(pcm.size(), 8u * 384u);
      const auto [mn, mx] = std::minmax_element(pcm.begin() + 1000, pcm.end());
      EXPECT_GE(*mn, c.lo);
      EXPECT_LE(*mx, c.hi);
    }
  }
}

TEST(MpegDecoder, PcmComesOutInPiecesThatIgnoreFrameBoundaries) {
  const std::vector<uint8_t> stream = layer2_stream(5, false);
  const std::vector<int16_t> whole = decode_all(stream, 0, 1 << 20);
  ASSERT_EQ(whole.size(), 5u * 1152u);
  MpegDecoder* dec = mpegdec_create();
  ASSERT_EQ(mpegdec_open(dec, stream.data(), stream.size()), 0);
  std::vector<uint8_t> bytes;
  const size_t pieces[] = {1, 7, 2303, 2, 4096, 3, 999, 1};
  for (size_t i = 0;; ++i) {
    std::vector<uint8_t> buf(pieces[i % std::size(pieces)]);
    const size_t got = mpegdec_read(dec, buf.data(), buf.size());
    bytes.insert(bytes.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
    if (got < buf.size()) break;
  }
  mpegdec_destroy(dec);
  ASSERT_EQ(bytes.size(), whole.size() * 2);
  EXPECT_EQ(std::memcmp(bytes.data(), whole.data(), bytes.size()), 0);
}

TEST(MpegDecoder, CutBufferGivesTheCompleteFramesBeforeTheCut) {
  const std::vector<uint8_t> stream = layer2_stream(4, false);
  const std::vector<int16_t> whole = decode_all(stream);
  for (size_t cut = 0; cut <= stream.size(); cut += 37) {
    const std::vector<uint8_t> part(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
    const std::vector<int16_t> pcm = decode_all(part);
    const size_t frames = cut / 384;
    ASSERT_EQ(pcm.size(), frames * 1152) << "cut at " << cut;
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), whole.begin()));
  }
}

TEST(MpegDecoder, NullAndClosedDecodersAreHarmless) {
  EXPECT_EQ(mpegdec_open(nullptr, nullptr, 0), -1);
  EXPECT_EQ(mpegdec_read(nullptr, nullptr, 10), 0u);
  mpegdec_close(nullptr);
  mpegdec_destroy(nullptr);
  MpegDecoder* dec = mpegdec_create();
  EXPECT_EQ(mpegdec_open(dec, nullptr, 100), -1);
  const std::vector<uint8_t> stream = layer2_stream(1, false);
  ASSERT_EQ(mpegdec_open(dec, stream.data(), stream.size()), 0);
  mpegdec_close(dec);
  int16_t pcm[16];
  EXPECT_EQ(mpegdec_read(dec, pcm, sizeof pcm), 0u);
  EXPECT_EQ(mpegdec_channels(dec), 0);
  mpegdec_destroy(dec);
}

// Valid Layer 3 headers around random bodies: the side information lies about every length, table
// and band, and every frame must still decode (to something) without reading outside the buffer.
TEST(MpegDecoder, RandomLayer3BodiesDecodeWithoutFault) {
  const GeometryCase kinds[] = {{1, 3, 9, 0, 1, 1152, 2, 44100},
                                {1, 3, 5, 1, 3, 1152, 1, 48000},
                                {2, 3, 8, 0, 1, 576, 2, 22050},
                                {2, 3, 4, 2, 3, 576, 1, 16000}};
  Lcg rng(99);
  for (const GeometryCase& k : kinds) {
    for (int mode_ext = 0; mode_ext < 4; ++mode_ext) {
      const std::vector<uint8_t> header =
          header_bytes(k.version, 3, false, k.bitrate_index, k.sr_index, 0, k.mode, mode_ext);
      const int body = body_bytes(header);
      std::vector<uint8_t> stream;
      for (int f = 0; f < 40; ++f) {
        stream.insert(stream.end(), header.begin(), header.end());
        for (int i = 0; i < body; ++i) stream.push_back(static_cast<uint8_t>(rng.next()));
      }
      EXPECT_EQ(decode_all(stream).size(), 40u * k.samples_per_frame * k.channels);
    }
  }
}

// big_values leaves two lines for the count1 region, whose quadruple then claims lines 574..577:
// the last two must be dropped, not written or looked up past the granule.
TEST(MpegDecoder, Count1QuadrupleAtTheGranuleEndIsCut) {
  std::vector<uint8_t> frame = header_bytes(1, 3, false, 9, 0, 0, 3);  // 128 kbit/s mono
  const int body = body_bytes(frame);
  BitWriter w;
  w.put(0, 9);  // main_data_begin
  w.put(0, 5);  // private bits
  w.put(0, 4);  // scfsi
  for (int gr = 0; gr < 2; ++gr) {
    w.put(8, 12);     // part2_3_length: one quadruple of table B and its four sign bits
    w.put(287, 9);    // big_values: 574 lines
    w.put(210, 8);    // global_gain: unit gain
    w.put(0, 4);      // scalefac_compress: no scale factor bits
    w.put(0, 1);      // no window switching
    w.put(0, 15);     // table_select: empty tables, the big values are zeros without bits
    w.put(0, 4 + 3);  // region counts
    w.put(0, 2);      // preflag, scalefac_scale
    w.put(1, 1);      // count1 table B
  }
  for (int gr = 0; gr < 2; ++gr) w.put(0x0F, 8);  // quadruple 1,1,1,1 (code 0000), signs -,-,-,-
  const std::vector<uint8_t> payload = w.finish(static_cast<size_t>(body));
  frame.insert(frame.end(), payload.begin(), payload.end());
  std::vector<uint8_t> stream;
  for (int f = 0; f < 3; ++f) stream.insert(stream.end(), frame.begin(), frame.end());
  const std::vector<int16_t> pcm = decode_all(stream);
  ASSERT_EQ(pcm.size(), 3u * 1152u);
  // The two kept values sit at the top of the spectrum: a small, nonzero output.
  EXPECT_TRUE(std::any_of(pcm.begin(), pcm.end(), [](int16_t v) { return v != 0; }));
}

// ---- Intensity stereo on hand-made Layer 3 frames ----
//
// The left channel carries eight lines of value +1/32 (table 1, four pairs "000" with two plus signs,
// 20 bits); the right channel carries no spectrum, only scale factors, all equal to the intensity
// position `pos`. Every band is then intensity coded from the left values.
std::vector<uint8_t> intensity_stream(bool mpeg1, int pos, int frames) {
  std::vector<uint8_t> header = mpeg1 ? header_bytes(1, 3, false, 9, 0, 0, 1, 1)   // 44.1 kHz, 128 kbit/s
                                      : header_bytes(2, 3, false, 8, 0, 0, 1, 1);  // 22.05 kHz, 64 kbit/s
  const int body = body_bytes(header);
  // Right channel scale factors: MPEG-1 scalefac_compress 15 = 4 bits for bands 0-10, 3 for 11-20;
  // the lower sampling rates' intensity form 258 = three partitions of 7 bands with 3 bits.
  const int right_sf_bits = mpeg1 ? 11 * 4 + 10 * 3 : 21 * 3;
  BitWriter w;
  w.put(0, mpeg1 ? 9 : 8);  // main_data_begin
  w.put(0, mpeg1 ? 3 : 2);  // private bits
  if (mpeg1) w.put(0, 8);   // scfsi
  const int granules = mpeg1 ? 2 : 1;
  for (int gr = 0; gr < granules; ++gr) {
    for (int ch = 0; ch < 2; ++ch) {
      w.put(ch == 0 ? 20 : right_sf_bits, 12);  // part2_3_length
      w.put(ch == 0 ? 4 : 0, 9);                // big_values
      w.put(190, 8);                            // global_gain: 2^-5, well inside the 16-bit range
      w.put(ch == 0 ? 0 : (mpeg1 ? 15 : 258), mpeg1 ? 4 : 9);  // scalefac_compress
      w.put(0, 1);                                             // window switching
      w.put(1, 5), w.put(1, 5), w.put(1, 5);                   // table 1 everywhere
      w.put(15, 4), w.put(7, 3);                               // region counts
      if (mpeg1) w.put(0, 1);                                  // preflag
      w.put(0, 1), w.put(0, 1);                                // scalefac_scale, count1 table
    }
  }
  for (int gr = 0; gr < granules; ++gr) {
    for (int pair = 0; pair < 4; ++pair) w.put(0, 5);  // left: (1, 1) with plus signs
    if (mpeg1) {
      for (int sfb = 0; sfb < 21; ++sfb) w.put(pos, sfb < 11 ? 4 : 3);
    } else {
      for (int sfb = 0; sfb < 21; ++sfb) w.put(pos, 3);
    }
  }
  const std::vector<uint8_t> payload = w.finish(static_cast<size_t>(body));
  std::vector<uint8_t> stream;
  for (int f = 0; f < frames; ++f) {
    stream.insert(stream.end(), header.begin(), header.end());
    stream.insert(stream.end(), payload.begin(), payload.end());
  }
  return stream;
}

// RMS of the left and the right channel.
std::pair<double, double> channel_rms(const std::vector<int16_t>& pcm) {
  double l = 0, r = 0;
  for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
    l += static_cast<double>(pcm[i]) * pcm[i];
    r += static_cast<double>(pcm[i + 1]) * pcm[i + 1];
  }
  return {std::sqrt(l), std::sqrt(r)};
}

TEST(MpegDecoder, IntensityStereoSplitsTheLeftValuesByPosition) {
  struct Case {
    bool mpeg1;
    int pos;
    double left_over_right;  // expected RMS ratio; 0 = left silent, -1 = right silent
  };
  const double t1 = std::tan(3.14159265358979 / 12);
  const Case cases[] = {
      {true, 0, 0.0},                    // all in the right channel
      {true, 6, -1.0},                   // all in the left channel
      {true, 3, 1.0},                    // centre
      {true, 1, t1},                     // tan(pos * pi / 12)
      {false, 0, 1.0},                   // lower sampling rates: position 0 is the centre
      {false, 1, std::pow(2.0, -0.25)},  // odd: the left channel is attenuated
      {false, 2, std::pow(2.0, 0.25)},   // even: the right channel is attenuated
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.mpeg1 ? "MPEG-1" : "MPEG-2") << " position " << c.pos);
    const std::vector<int16_t> pcm = decode_all(intensity_stream(c.mpeg1, c.pos, 6));
    ASSERT_EQ(pcm.size(), 6u * (c.mpeg1 ? 1152u : 576u) * 2u);
    const auto [l, r] = channel_rms(pcm);
    if (c.left_over_right == 0.0) {
      EXPECT_EQ(l, 0.0);
      EXPECT_GT(r, 1000.0);
    } else if (c.left_over_right < 0) {
      EXPECT_EQ(r, 0.0);
      EXPECT_GT(l, 1000.0);
    } else {
      ASSERT_GT(r, 1000.0);
      EXPECT_NEAR(l / r, c.left_over_right, 0.01 * c.left_over_right);
    }
  }
}

TEST(MpegDecoder, GarbageAfterAValidHeaderStopsCleanly) {
  Lcg rng(5);
  for (int layer = 1; layer <= 3; ++layer) {
    for (int round = 0; round < 50; ++round) {
      std::vector<uint8_t> stream = header_bytes(1 + (round & 1), layer, round % 3 == 0, 1 + round % 14,
                                                 round % 3, round & 1, round % 4, (round / 4) % 4);
      const size_t n = rng.next() % 6000;
      for (size_t i = 0; i < n; ++i) stream.push_back(static_cast<uint8_t>(rng.next()));
      // Occasional sync-like bytes keep the decoder going for a few frames.
      for (size_t i = 0; i + 1 < stream.size(); i += 1 + rng.next() % 700) stream[i] = 0xFF;
      const std::vector<int16_t> pcm = decode_all(std::vector<uint8_t>(stream), 0, 1000);
      EXPECT_LE(pcm.size(), stream.size() * 1152);  // terminates; ASan checks the reads
    }
  }
}

// The IMDCT's SIMD paths give the same bits: the same products and sums in the same order, none
// fused, whatever the inputs (tiny, huge, mixed signs, zeros).
TEST(MpegDecoder, ImdctPathsGiveTheSameBits) {
  if (!mpegdec_path_supported(MpegSynthPath::kAvx2)) GTEST_SKIP() << "no AVX2";
  Lcg rng(77);
  auto value = [&](float scale) {
    return (static_cast<float>(rng.next() % 200001) / 100000.0f - 1.0f) * scale;
  };
  for (const float scale : {1e-30f, 1e-3f, 1.0f, 3e4f, 1e30f}) {
    alignas(32) float cos36[18][20];
    for (auto& row : cos36)
      for (float& c : row) c = value(1.0f);
    for (int round = 0; round < 200; ++round) {
      float x[18];
      for (float& v : x) v = round % 5 == 0 && rng.next() % 2 ? 0.0f : value(scale);
      alignas(32) float a[20], b[20];
      mpegdec::imdct36_sse2(x, cos36, a);
      mpegdec::imdct36_avx2(x, cos36, b);
      ASSERT_EQ(std::memcmp(a, b, sizeof a), 0) << "scale " << scale << " round " << round;
    }
  }
}

// ---- Layer 3 streams made by lame ----

class MpegDecoderLame : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_tool("lame")) GTEST_SKIP() << "lame is not installed";
    dir_ = fs::temp_directory_path() / ("mpegdec_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    const fs::path wav = dir_ / "in.wav", mp3 = dir_ / "out.mp3";
    ASSERT_TRUE(write_wav(wav, make_signal(44100, 2, 2.0), 44100, 2));
    const std::string cmd = "lame --quiet -t -b 128 '" + wav.string() + "' '" + mp3.string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    mp3_ = read_file(mp3);
    ASSERT_FALSE(mp3_.empty());
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  fs::path dir_;
  std::vector<uint8_t> mp3_;
};

// main_data_begin of the frame at `off` (MPEG-1, no CRC: the first 9 bits after the header).
int main_data_begin(const std::vector<uint8_t>& d, size_t off) {
  return (d[off + 4] << 1) | (d[off + 5] >> 7);
}

TEST_F(MpegDecoderLame, CutReservoirDecodesAsSilenceThenRecovers) {
  const std::vector<size_t> frames = frame_offsets(mp3_, 0);
  ASSERT_GT(frames.size(), 30u);
  const std::vector<int16_t> whole = decode_all(mp3_);
  ASSERT_EQ(whole.size(), frames.size() * 2304);
  size_t k = 10;
  while (k < frames.size() - 5 && main_data_begin(mp3_, frames[k]) == 0) ++k;
  ASSERT_LT(k, frames.size() - 5) << "no frame uses the reservoir";
  // Open at frame k: its main data starts in a frame the decoder never saw.
  const std::vector<int16_t> pcm = decode_all(mp3_, frames[k]);
  ASSERT_EQ(pcm.size(), (frames.size() - k) * 2304);
  EXPECT_TRUE(std::all_of(pcm.begin(), pcm.begin() + 2304, [](int16_t s) { return s == 0; }));
  // Two frames later the filter bank state has been replaced and the output is the full decode's.
  EXPECT_TRUE(std::equal(pcm.begin() + 2 * 2304, pcm.end(),
                         whole.begin() + static_cast<std::ptrdiff_t>(k + 2) * 2304));
}

TEST_F(MpegDecoderLame, CutFilesGiveAPrefixOfTheFullDecode) {
  const std::vector<size_t> frames = frame_offsets(mp3_, 0);
  const std::vector<int16_t> whole = decode_all(mp3_);
  for (size_t cut = 1; cut < mp3_.size(); cut += 1 + mp3_.size() / 23) {
    const std::vector<uint8_t> part(mp3_.begin(), mp3_.begin() + static_cast<std::ptrdiff_t>(cut));
    const std::vector<int16_t> pcm = decode_all(part);
    const size_t complete = static_cast<size_t>(
        std::count_if(frames.begin(), frames.end(), [&](size_t off) { return off < cut; }) - 1);
    EXPECT_GE(pcm.size(), complete * 2304) << "cut at " << cut;
    EXPECT_LE(pcm.size(), (complete + 1) * 2304) << "cut at " << cut;
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), whole.begin())) << "cut at " << cut;
  }
}

TEST_F(MpegDecoderLame, DamagedStreamsTerminate) {
  Lcg rng(1234);
  const std::vector<size_t> frames = frame_offsets(mp3_, 0);
  for (int round = 0; round < 40; ++round) {
    std::vector<uint8_t> d = mp3_;
    // Damage bytes after the headers (side information and main data), keeping the frame chain.
    for (int i = 0; i < 30; ++i) {
      const size_t f = frames[rng.next() % frames.size()];
      const size_t at = f + 4 + rng.next() % 60;
      if (at < d.size()) d[at] = static_cast<uint8_t>(rng.next());
    }
    const std::vector<int16_t> pcm = decode_all(d, 0, 3000);
    EXPECT_EQ(pcm.size(), frames.size() * 2304);
  }
}

}  // namespace
