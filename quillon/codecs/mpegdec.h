// MPEG audio decoder: MPEG-1 and the MPEG-2 lower sampling rates, Layers 1, 2 and 3, from a memory
// image of the whole stream to interleaved signed 16-bit PCM. The MPEG format module opens it on the
// frames it has found and takes PCM out in pieces of any size.
#pragma once

#include <cstddef>
#include <cstdint>

// One parsed 32-bit frame header.
struct MpegHeader {
  int layer = 0;             // 1..3
  bool protection = false;   // a 16-bit CRC follows the header
  int bitrate_index = 0;     // 1..14
  int samplerate_index = 0;  // 0..2
  int padding = 0;
  int mode = 0;  // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
  int mode_extension = 0;
  int copyright = 0;  // header bit 3
  int original = 0;   // header bit 2
  bool mpeg1 = false;
  bool lsf = false;  // lower sampling rates (MPEG-2)
  int channels = 0;
  int sample_rate = 0;  // Hz
  int bitrate = 0;      // kbit/s
  int body_bytes = 0;   // frame length after the 4 header bytes
  int samples_per_frame = 0;
};

// The decoder object. Header access is virtual so that a caller can give it another framing; the
// rest of the interface is the C-style set of functions below.
class MpegDecoder {
 public:
  MpegDecoder();
  MpegDecoder(const MpegDecoder&) = delete;
  MpegDecoder& operator=(const MpegDecoder&) = delete;

  // The two virtual operations, in slot order.
  // Parses the header at the current position and, when it is accepted, steps past it.
  virtual bool next_header(MpegHeader& header);
  // Parses the header at the current position without moving.
  virtual bool peek_header(MpegHeader& header) const;

  virtual ~MpegDecoder();

  struct State;
  State* state;
};

// Result of mpegdec_open: 0 success, -1 when the first header is not acceptable.
MpegDecoder* mpegdec_create();
int mpegdec_open(MpegDecoder* dec, const uint8_t* buffer, size_t length);
// Fills out with the next `bytes` bytes of interleaved native-endian 16-bit PCM; returns the number
// delivered, which is short only when a frame cannot be decoded (bad header or end of data).
size_t mpegdec_read(MpegDecoder* dec, void* out, size_t bytes);
// The same PCM as mpegdec_read, by channel: the next `samples` samples of each output channel into
// out[0..channels-1] (a channel beyond the stream's repeats its last). Returns the samples per
// channel delivered. Reads of either kind may follow each other at whole sample frames.
size_t mpegdec_read_planar(MpegDecoder* dec, int16_t* const* out, int channels, size_t samples);
// As mpegdec_open, with the output layout of the buffer's first frame, but decoding from the frame
// at byte `offset` on. Returns -1 when either header is not acceptable.
int mpegdec_open_at(MpegDecoder* dec, const uint8_t* buffer, size_t length, size_t offset);
void mpegdec_close(MpegDecoder* dec);
void mpegdec_destroy(MpegDecoder* dec);

// Geometry of the opened stream (from its first header): channels, Hz, samples per channel per frame,
// layer, PCM bytes per frame. Zero when the decoder is not open.
int mpegdec_channels(const MpegDecoder* dec);
int mpegdec_sample_rate(const MpegDecoder* dec);
int mpegdec_samples_per_frame(const MpegDecoder* dec);
int mpegdec_layer(const MpegDecoder* dec);
int mpegdec_frame_pcm_bytes(const MpegDecoder* dec);

// Decoding one stream with two decoders at once. A second decoder opened with mpegdec_open_at at
// `start` and rid of its first `warmup` samples per channel delivers, sample for sample, what one
// decoder over the whole buffer delivers from `first_sample` on: the warm-up frames refill the bit
// reservoir (main_data_begin reaches at most 511 bytes back), the filter bank overlap and the
// synthesis history. first_sample is the start of the first frame at or after the sample asked for.
struct MpegSplit {
  size_t start = 0;
  int64_t warmup = 0;
  int64_t first_sample = 0;
};
// False when the stream cannot be split there: it ends (or stops decoding) first, or its frames up
// to the split do not all share the first frame's layer, version, rate and channel count (a change
// would carry decoder state across the warm-up).
bool mpegdec_plan_split(const uint8_t* buffer, size_t length, int64_t at, MpegSplit* split);

// Synthesis paths. The process-wide choice is made once (the fastest path the processor has); a
// decoder may be pinned to another path, which the tests use to compare them.
enum class MpegSynthPath { kPlain = 0, kSse2 = 1, kAvx2 = 2 };
MpegSynthPath mpegdec_default_path();
bool mpegdec_path_supported(MpegSynthPath path);
void mpegdec_set_path(MpegDecoder* dec, MpegSynthPath path);
