// Sample import and export engines: one reader and one writer per representation, selected by
// samplerep; compressed representations go through the codecs.
#include "quillon/soundcore/samples.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>

#include "quillon/codecs/mpegdec.h"
#include "quillon/codecs/mpegenc.h"
#include "quillon/codecs/oggvorbis.h"
#include "quillon/codecs/qvxa.h"
#include "quillon/runtime/gfile.h"
#include "quillon/runtime/gmem.h"
#include "quillon/soundcore/aurex.h"
#include "quillon/soundcore/samples_console.h"

namespace {

constexpr const char* kMsg16 = "Couldn't read 16-bit samples from file.";
constexpr const char* kMsg8 = "Couldn't read 8-bit samples from file.";
constexpr const char* kMsgXa = "Couldn't read XA samples.";
constexpr const char* kMsgImport = "Unsupported sample import format.";
constexpr const char* kMsgExportFormat = "Unsupported sample format in isexportsamples.";

constexpr const char* kMsgMpeg = "Couldn't read MPEG samples.";
constexpr const char* kMsgMpegDecode = "Couldn't decode MPEG samples.";
constexpr const char* kMsgMpegMemory = "Couldn't allocate memory for MPEG decompression.";

constexpr const char* kMsgParlet = "Couldn't read Parlet-talk samples.";
constexpr const char* kMsgParletMemory = "Couldn't allocate memory for Parlet-talk buffer.";

constexpr int kIoBytes = 4096;
// Interleaved PCM moves in runs this large: the file layer passes them straight to the file.
constexpr int kPcmRunBytes = 65536;
constexpr int32_t kQvxaPieceFrames = 1792;  // 64 QV-XA frames per read

bool fail(const char* message) {
  AUREX_seterror(message);
  return false;
}

bool readexact(gfile* f, void* dst, int32_t n) {
  return gread(f, dst, n) == n;
}

// Seeks only to a known position; 0 means the data follows at the current position.
bool seekto(gfile* f, int32_t pos) {
  return pos == 0 || gseek(f, pos) == 1;
}

int32_t progressof(int64_t num, int64_t den) {
  return den > 0 ? static_cast<int32_t>(num * 100 / den) : 100;
}

// ---- import -------------------------------------------------------------------------------

template <int Rep>
int16_t pcmsample(const uint8_t* p) {
  if constexpr (Rep == SREP_S16L_INT) return static_cast<int16_t>(p[0] | (p[1] << 8));
  if constexpr (Rep == SREP_S16B_INT) return static_cast<int16_t>((p[0] << 8) | p[1]);
  if constexpr (Rep == SREP_S8_INT) return static_cast<int16_t>(static_cast<int8_t>(p[0]) * 256);
  return static_cast<int16_t>(p[0] * 256 - 32768);  // u8_int
}

// Spreads n interleaved frames over the channel buffers from frame i on, reporting progress at
// every 4096th frame. Channels is 0 when the count is known only at run time; the common counts
// get loops the compiler can unroll.
template <int Rep, int Channels>
void deinterleave(const uint8_t* p, int32_t i, int32_t n, int channels, int16_t** buffers, int64_t last) {
  constexpr int width = (Rep == SREP_S16L_INT || Rep == SREP_S16B_INT) ? 2 : 1;
  if constexpr (Channels != 0) channels = Channels;
  for (int64_t at = (int64_t{i} + 4095) / 4096 * 4096; at < int64_t{i} + n; at += 4096)
    AUREX_progress(progressof(at, last));
  int16_t* out[STIMBRE_MAXCHANNELS];
  for (int c = 0; c < channels; ++c) out[c] = buffers[c] + i;
  for (int32_t k = 0; k < n; ++k) {
    for (int c = 0; c < channels; ++c, p += width) out[c][k] = pcmsample<Rep>(p);
  }
}

template <int Rep>
void deinterleaveany(const uint8_t* p, int32_t i, int32_t n, int channels, int16_t** buffers, int64_t last) {
  switch (channels) {
    case 1:
      return deinterleave<Rep, 1>(p, i, n, channels, buffers, last);
    case 2:
      return deinterleave<Rep, 2>(p, i, n, channels, buffers, last);
    default:
      return deinterleave<Rep, 0>(p, i, n, channels, buffers, last);
  }
}

bool importpcminterleaved(gfile* f, int32_t pos, int32_t first, int32_t count, int channels, int rep,
                          int16_t** buffers) {
  const int width = (rep == SREP_S16L_INT || rep == SREP_S16B_INT) ? 2 : 1;
  const char* msg = width == 2 ? kMsg16 : kMsg8;
  if (!seekto(f, pos)) return fail(msg);
  const auto spread = rep == SREP_S16L_INT   ? deinterleaveany<SREP_S16L_INT>
                      : rep == SREP_S16B_INT ? deinterleaveany<SREP_S16B_INT>
                      : rep == SREP_S8_INT   ? deinterleaveany<SREP_S8_INT>
                                             : deinterleaveany<SREP_U8_INT>;
  uint8_t buf[kPcmRunBytes];
  const int32_t framebytes = width * channels;
  const int32_t runframes = kPcmRunBytes / framebytes;
  const int64_t last = static_cast<int64_t>(first) + count - 1;
  int32_t i = first;
  for (int32_t left = count; left > 0;) {
    const int32_t n = std::min(left, runframes);
    if (!readexact(f, buf, n * framebytes)) return fail(msg);
    spread(buf, i, n, channels, buffers, last);
    i += n;
    left -= n;
  }
  return true;
}

bool importpcmblock(gfile* f, const int32_t* positions, int32_t first, int32_t count, int channels, int rep,
                    int16_t** buffers) {
  const int width = rep == SREP_S8_BLK ? 1 : 2;
  const char* msg = width == 2 ? kMsg16 : kMsg8;
  uint8_t buf[kIoBytes];
  for (int c = 0; c < channels; ++c) {
    if (!seekto(f, positions[c])) return fail(msg);
    int16_t* out = buffers[c] + first;
    for (int32_t left = count; left > 0;) {
      const int32_t n = std::min(left, kIoBytes / width);
      if (!readexact(f, buf, n * width)) return fail(msg);
      for (int32_t k = 0; k < n; ++k) {
        const uint8_t* p = buf + k * width;
        switch (rep) {
          case SREP_S16L_BLK:
            *out++ = static_cast<int16_t>(p[0] | (p[1] << 8));
            break;
          case SREP_S16B_BLK:
            *out++ = static_cast<int16_t>((p[0] << 8) | p[1]);
            break;
          default:
            *out++ = static_cast<int16_t>(static_cast<int8_t>(p[0]) * 256);
            break;
        }
      }
      left -= n;
    }
  }
  return true;
}

bool importqvxainterleaved(gfile* f, int32_t pos, int32_t first, int32_t count, int channels,
                           AUREX_COMPSTATE** states, int16_t** buffers) {
  if (!seekto(f, pos)) return fail(kMsgXa);
  const int framebytes = channels == 1 ? QVXA_FRAMEBYTES : QVXA_STEREOFRAMEBYTES;
  uint8_t in[64 * QVXA_STEREOFRAMEBYTES];
  int16_t left[kQvxaPieceFrames], right[kQvxaPieceFrames];
  int16_t hist[4] = {};
  for (int c = 0; c < channels; ++c) {
    if (states && states[c]) {
      hist[2 * c] = states[c]->xaprev1;
      hist[2 * c + 1] = states[c]->xaprev2;
    }
  }
  int32_t at = first;
  for (int32_t remaining = count; remaining > 0;) {
    const int32_t n = std::min(remaining, kQvxaPieceFrames);
    const int32_t whole = n / 28, r = n % 28;
    int32_t bytes = whole * framebytes;
    if (r > 0) bytes += channels == 1 ? 1 + (r + 1) / 2 : 2 + r;
    std::memset(in, 0, sizeof in);
    if (!readexact(f, in, bytes)) return fail(kMsgXa);
    if (channels == 1) {
      qvxa_decode_mono(n, &hist[0], &hist[1], in, left);
    } else {
      qvxa_decode_stereo(n, &hist[0], &hist[1], &hist[2], &hist[3], in, left, right);
      std::memcpy(buffers[1] + at, right, static_cast<size_t>(n) * 2);
    }
    std::memcpy(buffers[0] + at, left, static_cast<size_t>(n) * 2);
    at += n;
    remaining -= n;
  }
  for (int c = 0; c < channels; ++c) {
    if (states && states[c]) {
      states[c]->xaprev1 = hist[2 * c];
      states[c]->xaprev2 = hist[2 * c + 1];
    }
  }
  return true;
}

bool importqvxablock(gfile* f, const int32_t* positions, int32_t first, int32_t count, int channels,
                     AUREX_COMPSTATE** states, int16_t** buffers) {
  constexpr int32_t kRunFrames = 64;
  uint8_t in[kRunFrames * QVXA_FRAMEBYTES];
  int16_t out[kRunFrames * 28];
  for (int c = 0; c < channels; ++c) {
    if (!seekto(f, positions[c])) return fail(kMsgXa);
    int16_t p1 = states && states[c] ? states[c]->xaprev1 : 0;
    int16_t p2 = states && states[c] ? states[c]->xaprev2 : 0;
    int16_t* dst = buffers[c] + first;
    for (int32_t remaining = count; remaining > 0;) {
      const int32_t n = std::min(remaining, kRunFrames * 28);
      const int32_t frames = qvxa_frames(n);
      // A short last frame is stored whole; only its first samples are used.
      if (!readexact(f, in, frames * QVXA_FRAMEBYTES)) return fail(kMsgXa);
      qvxa_decode_mono(n, &p1, &p2, in, out);
      std::memcpy(dst, out, static_cast<size_t>(n) * 2);
      dst += n;
      remaining -= n;
    }
    if (states && states[c]) {
      states[c]->xaprev1 = p1;
      states[c]->xaprev2 = p2;
    }
  }
  return true;
}

// ---- DVI -----------------------------------------------------------------------------------

constexpr int32_t kDviRunFrames = 1024;

// Mono data starts on a byte, so `first` is even for mono whenever a sound is read in pieces.
bool importdvi(gfile* f, int32_t pos, int32_t first, int32_t count, int channels, AUREX_COMPSTATE** states,
               int16_t** buffers) {
  if (!seekto(f, pos)) return fail("Couldn't read DVI samples.");
  DVI_STATE st[2] = {};
  for (int c = 0; c < channels; ++c)
    if (states && states[c]) st[c] = states[c]->dvi;
  uint8_t in[kDviRunFrames];
  for (int32_t at = first; at < first + count;) {
    const int32_t n = std::min(kDviRunFrames, first + count - at);
    if (!readexact(f, in, dvi_bytes(n, channels))) return fail("Couldn't read DVI samples.");
    int16_t* out[2] = {buffers[0] + at, channels == 2 ? buffers[1] + at : nullptr};
    dvi_decode(in, n, channels, st, out);
    at += n;
  }
  for (int c = 0; c < channels; ++c)
    if (states && states[c]) states[c]->dvi = st[c];
  return true;
}

// ---- Parlet ------------------------------------------------------------------------------

// A channel's bytes run to the end of the file; they are read in pieces as the decoder asks for
// them instead of all at once, since a stream reads one chunk's frames per call.
struct ParletSource {
  gfile* f;
  uint8_t* piece;
  int64_t fetched;
  bool failed;
};

int parletrefill(void* context, const uint8_t** p, const uint8_t** end) {
  auto* src = static_cast<ParletSource*>(context);
  const int32_t n = gread(src->f, src->piece, kIoBytes);
  if (n < 0) src->failed = true;
  if (n <= 0) return 0;
  *p = src->piece;
  *end = src->piece + n;
  src->fetched += n;
  return 1;
}

// Per channel: a call at frame 0 starts the channel (header, cleared decoder); a later call with a
// position starts a new byte-aligned piece of the same channel (a stream's next chunk); one
// without continues where the last call stopped, mid-byte if need be.
bool importparletchannel(gfile* f, int32_t position, int32_t first, int32_t count, AUREX_COMPSTATE* st,
                         uint8_t* piece, int16_t* out) {
  PARLET_DECODER& dec = st->parlet;
  if (!seekto(f, position)) return fail(kMsgParlet);
  if (first == 0) {
    dec.started = false;
    st->leftover = 0;
  }
  const bool resume = first != 0 && position == 0;
  if (resume && gseek(f, st->filepos) != 1) return fail(kMsgParlet);
  const int32_t start = gtell(f);
  if (start < 0) return fail(kMsgParlet);
  ParletSource src{f, piece, 0, false};
  PARLET_BITREADER r{};
  r.p = r.end = piece;
  r.refill = parletrefill;
  r.context = &src;
  if (resume) {
    r.buf = dec.bitbuf;
    r.count = dec.bitcount;
  }
  parlet_bits_prime(&r);
  int32_t done = 0;
  const int32_t held = std::clamp(st->leftover, 0, PARLET_FRAME);
  for (int32_t i = 0; i < held && done < count; ++i) {
    out[done++] = parlet_to16(dec.frame[PARLET_FRAME - held + i]);
    --st->leftover;
  }
  bool ok = true;
  while (done < count) {
    if (!dec.started) {
      parlet_reset(&dec.synth, parlet_read_header(&r));
      dec.started = true;
    }
    parlet_decode_frame(&dec.synth, &r, dec.frame);
    // A frame that needed bits beyond the file is not speech: the data was cut short.
    if (src.failed || parlet_bits_overrun(&r)) {
      ok = fail(kMsgParlet);
      break;
    }
    const int32_t n = std::min<int32_t>(PARLET_FRAME, count - done);
    for (int32_t i = 0; i < n; ++i) out[done + i] = parlet_to16(dec.frame[i]);
    done += n;
    st->leftover = PARLET_FRAME - n;
  }
  dec.bitbuf = r.buf;
  dec.bitcount = r.count;
  st->filepos = static_cast<int32_t>(start + src.fetched - (r.end - r.p));
  return gseek(f, st->filepos) == 1 && ok;
}

bool importparlet(gfile* f, const int32_t* positions, int32_t first, int32_t count, int channels,
                  AUREX_COMPSTATE** states, int16_t** buffers) {
  auto* piece = static_cast<uint8_t*>(galloc(kIoBytes));
  AUREX_COMPSTATE* scratch = nullptr;
  bool ok = piece != nullptr;
  if (!ok) fail(kMsgParletMemory);
  for (int c = 0; ok && c < channels; ++c) {
    AUREX_COMPSTATE* st = states && states[c] ? states[c] : nullptr;
    if (!st) {  // without states a read can only start a channel
      if (!scratch) scratch = static_cast<AUREX_COMPSTATE*>(galloc(sizeof(AUREX_COMPSTATE)));
      if (!scratch) {
        ok = fail(kMsgParletMemory);
        break;
      }
      *scratch = AUREX_COMPSTATE{};
      st = scratch;
    }
    ok = importparletchannel(f, positions[c], first, count, st, piece, buffers[c] + first);
  }
  if (scratch) gfree(scratch);
  if (piece) gfree(piece);
  return ok;
}

// ---- Ogg Vorbis --------------------------------------------------------------------------

// Below this many samples per channel a read is decoded by one decoder.
constexpr int32_t kOggSplitSamples = 1 << 15;

// The stream is decoded from the start of the file whatever the position list says: Vorbis
// packets depend on the headers at its start. A long read is decoded from memory by two decoders
// at once, the second from a page near the middle (see oggvorbis_plan_split).
bool importogg(gfile* f, int32_t first, int32_t count, int channels, int16_t** buffers) {
  if (channels > OGGVORBIS_MAXCHANNELS) return fail(kMsgImport);
  const char* message = nullptr;
  const int32_t bytes = count >= kOggSplitSamples && std::thread::hardware_concurrency() >= 2 ? gsize(f) : 0;
  auto* data = bytes > 0 ? static_cast<uint8_t*>(galloc(bytes)) : nullptr;
  int ok;
  if (data && gseek(f, 0) == 1 && readexact(f, data, bytes)) {
    OGGVORBIS_SPLIT split;
    const bool planned = oggvorbis_plan_split(data, bytes, first + count / 2, &split) == 1;
    ok = oggvorbis_decode_memory(data, bytes, planned ? &split : nullptr, first, count, channels, buffers,
                                 AUREX_progress, &message);
  } else {
    ok = oggvorbis_decode(f, first, count, channels, buffers, AUREX_progress, &message);
  }
  if (data) gfree(data);
  return ok > 0 || fail(message ? message : "Couldn't read Ogg Vorbis samples.");
}

// ---- MPEG frames --------------------------------------------------------------------------

constexpr uint32_t kMpegSyncMask = 0xFFF00000u;  // twelve set bits: MPEG-1 or MPEG-2 (not 2.5)
constexpr int kMpegHeaderBytes = 4;
constexpr int kMpegPieceSamples = 384;  // samples per channel taken from the decoder at a time
constexpr int kMpegMaxChannels = 2;

// Bit rates in kbit/s by [MPEG-1 = 0, MPEG-2 = 1][layer - 1][index]; index 0 (free format) and 15
// are refused before the table is used.
constexpr int16_t kMpegBitrates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
};
constexpr int32_t kMpegRates[3] = {44100, 48000, 32000};  // MPEG-1; MPEG-2 halves them

// Below this many samples per channel a read is decoded by one decoder: a second one would spend
// more on its warm-up and its thread than it saves.
constexpr int64_t kMpegSplitSamples = 1 << 15;

// Part of a read that one decoder does: samples [origin, end) of the stream come out of it, and
// those from `keep` on are stored. `done` counts the stored samples as they land.
struct MpegRun {
  MpegDecoder* dec = nullptr;
  int64_t origin = 0, keep = 0, end = 0;
  std::atomic<int64_t> done{0};
};

// The decoder's output layout may differ from the sound's (a stream that changes mode): the
// sound's extra channels repeat the decoder's last, extra decoder channels are dropped (see
// mpegdec_read_planar). `report` runs after each piece; false when the decoder delivers less
// than asked.
template <typename Report>
bool runmpeg(MpegRun& run, int channels, int16_t** buffers, Report report) {
  int16_t scratch[STIMBRE_MAXCHANNELS][kMpegPieceSamples];
  int16_t* discard[STIMBRE_MAXCHANNELS];
  for (int c = 0; c < STIMBRE_MAXCHANNELS; ++c) discard[c] = scratch[c];
  for (int64_t at = run.origin; at < run.end;) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(kMpegPieceSamples, run.end - at));
    const int64_t skip = std::max<int64_t>(0, run.keep - at);
    if (skip == 0) {
      int16_t* dst[STIMBRE_MAXCHANNELS];
      for (int c = 0; c < channels; ++c) dst[c] = buffers[c] + at;
      if (mpegdec_read_planar(run.dec, dst, channels, static_cast<size_t>(n)) != static_cast<size_t>(n))
        return false;
    } else {
      if (mpegdec_read_planar(run.dec, discard, channels, static_cast<size_t>(n)) != static_cast<size_t>(n))
        return false;
      for (int c = 0; c < channels && skip < n; ++c)
        std::copy(scratch[c] + skip, scratch[c] + n, buffers[c] + at + skip);
    }
    at += n;
    if (at > run.keep) run.done.store(at - run.keep, std::memory_order_relaxed);
    report();
  }
  return true;
}

// Samples before `first` are decoded and dropped: Layer 3 frames depend on earlier ones. A long
// read is decoded by two decoders at once, the second on another thread from a frame near the
// middle (see mpegdec_plan_split), each writing its own range of the buffers; progress is
// reported from this thread only, for the samples both have stored.
bool importmpeg(gfile* f, int32_t pos, int32_t first, int32_t count, int channels, int16_t** buffers) {
  const int32_t start = pos != 0 ? pos : gtell(f);
  if (start < 0) return fail(kMsgMpeg);
  const int64_t need = int64_t{first} + count;
  const MPEG_WALK walk = mpeg_walk(f, start, need);
  // Only the frames found in the file are read: never allocate for more than it holds.
  if (walk.samples < need || walk.bytes <= 0 || walk.bytes > INT32_MAX) return fail(kMsgMpeg);
  const auto bytes = static_cast<int32_t>(walk.bytes);
  auto* data = static_cast<uint8_t*>(galloc(bytes));
  if (!data) return fail(kMsgMpegMemory);
  MpegRun a, b;
  bool ok = gseek(f, start) == 1 && readexact(f, data, bytes);
  if (!ok) fail(kMsgMpeg);
  if (ok) {
    a.dec = mpegdec_create();
    ok = a.dec && mpegdec_open(a.dec, data, static_cast<size_t>(bytes)) == 0;
    if (!ok) fail(a.dec ? kMsgMpegDecode : kMsgMpegMemory);
  }
  const int decch = ok ? mpegdec_channels(a.dec) : 0;
  if (ok && (decch < 1 || decch > kMpegMaxChannels)) ok = fail(kMsgMpegDecode);
  a.keep = first;
  a.end = need;
  MpegSplit split;
  if (ok && count >= kMpegSplitSamples && std::thread::hardware_concurrency() >= 2 &&
      mpegdec_plan_split(data, static_cast<size_t>(bytes), first + count / 2, &split) &&
      split.first_sample < need) {
    b.dec = mpegdec_create();
    if (b.dec && mpegdec_open_at(b.dec, data, static_cast<size_t>(bytes), split.start) == 0) {
      a.end = b.keep = split.first_sample;
      b.origin = split.first_sample - split.warmup;
      b.end = need;
    }
  }
  const int64_t last = need - 1;
  auto report = [&] {
    const int64_t stored =
        first + a.done.load(std::memory_order_relaxed) + b.done.load(std::memory_order_relaxed);
    if (stored > first) AUREX_progress(static_cast<int>(std::min<int64_t>(100, progressof(stored, last))));
  };
  bool bok = true;
  const bool two = ok && b.end > b.origin;
  std::thread worker;
  if (two) {
    try {
      worker = std::thread([&] { bok = runmpeg(b, channels, buffers, [] {}); });
    } catch (const std::system_error&) {
      // No thread: this one decodes the second range after the first.
    }
  }
  if (ok && !runmpeg(a, channels, buffers, report)) ok = fail(kMsgMpegDecode);
  if (worker.joinable()) {
    worker.join();
  } else if (two && ok) {
    bok = runmpeg(b, channels, buffers, report);
  }
  if (two && !bok) ok = false;
  if (two && !ok) fail(kMsgMpegDecode);
  if (two && ok) report();
  for (MpegDecoder* dec : {a.dec, b.dec}) {
    if (!dec) continue;
    mpegdec_close(dec);
    mpegdec_destroy(dec);
  }
  gfree(data);
  return ok;
}

// ---- export -------------------------------------------------------------------------------

// Where exported bytes go: a file, or memory with an optional capacity.
struct Sink {
  gfile* file;
  uint8_t* mem;
  int64_t capacity;  // < 0: unbounded memory
  int64_t written;

  bool put(const void* src, int32_t n) {
    if (n <= 0) return true;
    if (file) {
      if (gwrite(file, src, n) != n) return fail("Couldn't write samples to file stream.");
    } else {
      if (!mem) return fail("No output for isexportsamples.");
      if (capacity >= 0 && written + n > capacity) return fail("Export buffer too small in isexportsamples.");
      std::memcpy(mem + written, src, static_cast<size_t>(n));
    }
    written += n;
    return true;
  }
};

int samplewidth(int rep) {
  return (rep == SREP_S16L_INT || rep == SREP_S16B_INT || rep == SREP_S16L_BLK || rep == SREP_S16B_BLK) ? 2
                                                                                                        : 1;
}

bool wholesound(AUREX_COMPSTATE** states) {
  return states && states[0] && states[0]->wholeprogress;
}

// Block writers: over all channels, or channel 0 only over the whole sound.
void blockprogress(AUREX_COMPSTATE** states, const STIMBRE* t, int c, int64_t frame) {
  if (wholesound(states)) {
    if (c == 0) AUREX_progress(progressof(frame, t->numsamples));
  } else {
    AUREX_progress(progressof(frame + int64_t{c} * t->numsamples, int64_t{t->numsamples} * t->numchannels));
  }
}

template <int Rep>
void pcmput(uint8_t* p, int16_t v) {
  if constexpr (Rep == SREP_S16L_INT) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
  } else if constexpr (Rep == SREP_S16B_INT) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
  } else if constexpr (Rep == SREP_S8_INT) {
    p[0] = static_cast<uint8_t>(v >> 8);
  } else {
    p[0] = static_cast<uint8_t>((v >> 8) + 128);  // u8_int
  }
}

void putsample(uint8_t* p, int rep, int16_t v) {
  switch (rep) {
    case SREP_S16L_INT:
    case SREP_S16L_BLK:
      return pcmput<SREP_S16L_INT>(p, v);
    case SREP_S16B_INT:
    case SREP_S16B_BLK:
      return pcmput<SREP_S16B_INT>(p, v);
    case SREP_S8_INT:
    case SREP_S8_BLK:
      return pcmput<SREP_S8_INT>(p, v);
    default:
      return pcmput<SREP_U8_INT>(p, v);
  }
}

// Interleaves n frames from frame i on into p, the mirror of deinterleave.
template <int Rep, int Channels>
void interleave(uint8_t* p, int32_t i, int32_t n, int channels, int16_t* const* samples) {
  constexpr int width = (Rep == SREP_S16L_INT || Rep == SREP_S16B_INT) ? 2 : 1;
  if constexpr (Channels != 0) channels = Channels;
  const int16_t* in[STIMBRE_MAXCHANNELS];
  for (int c = 0; c < channels; ++c) in[c] = samples[c] + i;
  for (int32_t k = 0; k < n; ++k)
    for (int c = 0; c < channels; ++c, p += width) pcmput<Rep>(p, in[c][k]);
}

template <int Rep>
void interleaveany(uint8_t* p, int32_t i, int32_t n, int channels, int16_t* const* samples) {
  switch (channels) {
    case 1:
      return interleave<Rep, 1>(p, i, n, channels, samples);
    case 2:
      return interleave<Rep, 2>(p, i, n, channels, samples);
    default:
      return interleave<Rep, 0>(p, i, n, channels, samples);
  }
}

bool exportpcminterleaved(Sink& sink, int32_t first, int32_t count, const STIMBRE* t) {
  const int rep = t->samplerep, width = samplewidth(rep), channels = t->numchannels;
  const auto gather = rep == SREP_S16L_INT   ? interleaveany<SREP_S16L_INT>
                      : rep == SREP_S16B_INT ? interleaveany<SREP_S16B_INT>
                      : rep == SREP_S8_INT   ? interleaveany<SREP_S8_INT>
                                             : interleaveany<SREP_U8_INT>;
  uint8_t buf[kPcmRunBytes];
  const int32_t runframes = kPcmRunBytes / (width * channels);
  int32_t i = first;
  for (int32_t left = count; left > 0;) {
    const int32_t n = std::min(left, runframes);
    for (int64_t at = (int64_t{i} + 65535) / 65536 * 65536; at < int64_t{i} + n; at += 65536)
      AUREX_progress(progressof(at, t->numsamples));
    gather(buf, i, n, channels, t->samples);
    if (!sink.put(buf, n * width * channels)) return false;
    i += n;
    left -= n;
  }
  return true;
}

bool exportpcmblock(Sink& sink, int32_t first, int32_t count, AUREX_COMPSTATE** states, int32_t* offsets,
                    const STIMBRE* t) {
  const int rep = t->samplerep, width = samplewidth(rep);
  uint8_t buf[kIoBytes];
  for (int c = 0; c < t->numchannels; ++c) {
    if (offsets) offsets[c] = c * count * width;
    const int16_t* src = t->samples[c];
    int32_t i = first;
    for (int32_t left = count; left > 0;) {
      const int32_t n = std::min(left, kIoBytes / width);
      for (int32_t k = 0; k < n; ++k, ++i) {
        if (i % 4096 == 0) blockprogress(states, t, c, i);
        putsample(buf + k * width, rep, src[i]);
      }
      if (!sink.put(buf, n * width)) return false;
      left -= n;
    }
  }
  return true;
}

// One channel's data: the optional prefix with the encoder history it starts from, the frames,
// and a pad byte that keeps the prefixed data even.
struct QvxaChannelWriter {
  Sink& sink;
  bool prefix;
  bool bigendian;
  int64_t start;
  int64_t channelbytes = 0;

  bool begin(int c, const XA_ENCSTATE& from, int32_t* offsets) {
    if (offsets) offsets[c] = static_cast<int32_t>(sink.written - start);
    channelbytes = 0;
    if (!prefix) return true;
    uint8_t head[4];
    auto put16 = bigendian ? gputbe : gputle;
    put16(head, static_cast<uint32_t>(from.s1), 2);
    put16(head + 2, static_cast<uint32_t>(from.s2), 2);
    channelbytes = 4;
    return sink.put(head, 4);
  }
  bool frame(const uint8_t* bytes) {
    channelbytes += QVXA_FRAMEBYTES;
    return sink.put(bytes, QVXA_FRAMEBYTES);
  }
  bool end() {
    const uint8_t zero = 0;
    return !(prefix && (channelbytes & 1)) || sink.put(&zero, 1);
  }
};

// Channels are encoded two at a time in lockstep (see xa_encode_frame_pair). The first of a pair
// goes out as it is encoded; the second is held until the first is complete.
bool exportqvxablock(Sink& sink, int32_t first, int32_t count, int flags, AUREX_COMPSTATE** states,
                     int32_t* offsets, const STIMBRE* t) {
  QvxaChannelWriter w{sink, (flags & AUREX_EXPORT_CHANNELPREFIX) != 0,
                      (flags & AUREX_EXPORT_PREFIXBIGENDIAN) != 0, sink.written};
  const int32_t frames = count / XA_FRAMESAMPLES + (count % XA_FRAMESAMPLES != 0);
  uint8_t* held = nullptr;
  if (t->numchannels > 1) {
    held = static_cast<uint8_t*>(galloc(frames * QVXA_FRAMEBYTES));
    if (!held) return fail("Couldn't allocate memory for XA compression.");
  }
  bool ok = true;
  for (int c = 0; ok && c < t->numchannels; c += 2) {
    const bool pair = c + 1 < t->numchannels;
    XA_ENCSTATE scratch[2]{};
    XA_ENCSTATE* st[2];
    for (int k = 0; k < 2; ++k)
      st[k] = states && c + k < t->numchannels && states[c + k] ? &states[c + k]->xa : &scratch[k];
    const XA_ENCSTATE second = *st[1];
    const int16_t* src[2] = {t->samples[c] + first, pair ? t->samples[c + 1] + first : nullptr};
    ok = w.begin(c, *st[0], offsets);
    uint8_t frame[QVXA_FRAMEBYTES];
    for (int32_t f = 0; ok && f < frames; ++f) {
      const int32_t k = f * XA_FRAMESAMPLES;
      const int32_t n = std::min<int32_t>(XA_FRAMESAMPLES, count - k);
      uint8_t* out[2] = {frame, pair ? held + int64_t{f} * QVXA_FRAMEBYTES : nullptr};
      if (pair && n == XA_FRAMESAMPLES) {
        const int16_t* in[2] = {src[0] + k, src[1] + k};
        xa_encode_frame_pair(in, out, st, XA_VARIANT_QVXA, XA_FILTERS_QVXA);
      } else {
        for (int i = 0; i < (pair ? 2 : 1); ++i)
          xa_encode(src[i] + k, out[i], n, st[i], XA_VARIANT_QVXA, XA_FILTERS_QVXA);
      }
      if ((ok = w.frame(frame))) blockprogress(states, t, c, int64_t{first} + k);
    }
    ok = ok && w.end();
    if (!pair) continue;
    ok = ok && w.begin(c + 1, second, offsets);
    for (int32_t f = 0; ok && f < frames; ++f) {
      ok = w.frame(held + int64_t{f} * QVXA_FRAMEBYTES);
      if (ok) blockprogress(states, t, c + 1, int64_t{first} + int64_t{f} * XA_FRAMESAMPLES);
    }
    ok = ok && w.end();
  }
  if (held) gfree(held);
  return ok;
}

bool exportdvi(Sink& sink, int32_t first, int32_t count, AUREX_COMPSTATE** states, const STIMBRE* t) {
  const int channels = t->numchannels;
  if (channels > 2) return fail("DVI exporter cannot handle this numchannels.");
  DVI_STATE scratch[2] = {};
  DVI_STATE st[2];
  for (int c = 0; c < channels; ++c) st[c] = states && states[c] ? states[c]->dvi : scratch[c];
  uint8_t out[kDviRunFrames];
  for (int32_t at = first; at < first + count;) {
    const int32_t n = std::min(kDviRunFrames, first + count - at);
    const int16_t* in[2] = {t->samples[0] + at, channels == 2 ? t->samples[1] + at : nullptr};
    if (at % 65536 == 0) AUREX_progress(progressof(at, t->numsamples));
    dvi_encode(in, n, channels, st, out);
    if (!sink.put(out, dvi_bytes(n, channels))) return false;
    at += n;
  }
  for (int c = 0; c < channels; ++c)
    if (states && states[c]) states[c]->dvi = st[c];
  return true;
}

// Per channel: [start byte with flag 0x40: 1 at sample 0], [header at sample 0], whole frames
// (the last padded with zeros), the pending bits as a last byte; one zero byte after the last
// channel.
int32_t exportparlet(Sink& sink, int32_t first, int32_t count, int flags, AUREX_COMPSTATE** states,
                     int32_t* offsets, const STIMBRE* t) {
  const int64_t start = sink.written;
  const int64_t capacity = parlet_maxbytes(count);
  auto* bytes = static_cast<uint8_t*>(galloc(static_cast<int32_t>(capacity)));
  auto* scratch = static_cast<PARLET_ENCODER*>(galloc(sizeof(PARLET_ENCODER)));
  bool ok = bytes && scratch;
  if (!ok) fail(kMsgParletMemory);
  for (int c = 0; ok && c < t->numchannels; ++c) {
    if (offsets) offsets[c] = static_cast<int32_t>(sink.written - start);
    PARLET_ENCODER* enc = states && states[c] ? &states[c]->parletenc : scratch;
    if (enc == scratch) *scratch = PARLET_ENCODER{};
    if (flags & AUREX_EXPORT_CHANNELPREFIX) {
      const uint8_t startbyte = first == 0 ? 1 : 0;
      if (!(ok = sink.put(&startbyte, 1))) break;
    }
    PARLET_BITWRITER w{bytes, static_cast<size_t>(capacity), 0, 0, 0, false};
    if (first == 0) {
      parlet_encode_start(enc, &w);
    } else if (!enc->started) {
      // Mid-sound without earlier frames: the decoder's gains, but no header in this piece.
      parlet_reset(&enc->synth, PARLET_ENCODERHEADER);
      enc->started = true;
    }
    int16_t frame[PARLET_FRAME];
    const int16_t* src = t->samples[c] + first;
    for (int32_t k = 0; k < count; k += PARLET_FRAME) {
      const int32_t n = std::min<int32_t>(PARLET_FRAME, count - k);
      std::memcpy(frame, src + k, static_cast<size_t>(n) * 2);
      std::fill(frame + n, frame + PARLET_FRAME, int16_t{0});
      parlet_encode_frame(enc, frame, &w);
      blockprogress(states, t, c, int64_t{first} + k);
    }
    parlet_flush(&w);
    // The encoder keeps every frame within its bound, so the buffer always suffices.
    ok = !w.overflow && sink.put(bytes, static_cast<int32_t>(w.size));
  }
  const uint8_t zero = 0;
  ok = ok && sink.put(&zero, 1);
  if (bytes) gfree(bytes);
  if (scratch) gfree(scratch);
  return ok ? static_cast<int32_t>(sink.written - start) : 0;
}

int oggsinkwrite(void* context, const uint8_t* data, int32_t n) {
  return static_cast<Sink*>(context)->put(data, n) ? 1 : 0;
}

bool exportogg(Sink& sink, int32_t first, int32_t count, const STIMBRE* t) {
  const int16_t* channels[STIMBRE_MAXCHANNELS] = {};
  for (int c = 0; c < t->numchannels; ++c) channels[c] = t->samples[c] + first;
  const OGGVORBIS_SINK oggsink{oggsinkwrite, &sink};
  const char* message = nullptr;
  if (oggvorbis_encode(channels, t->numchannels, t->samplerate, count, &oggsink, AUREX_progress, &message) >=
      0)
    return true;
  if (message) AUREX_seterror(message);  // else the sink has stored its own
  return false;
}

// The encoder's sink over ours; remembers a failed write, which has stored its own message.
struct MpegOut {
  Sink* sink;
  bool failed;
};

int mpegsinkwrite(void* context, const uint8_t* data, int32_t n) {
  auto* out = static_cast<MpegOut*>(context);
  if (out->sink->put(data, n)) return 1;
  out->failed = true;
  return 0;
}

// Layer 1 and 2 through the encoder at the timbre's bit rate; the encoder checks rate and bit rate
// before it writes anything.
bool exportmpeg(Sink& sink, int32_t first, int32_t count, const STIMBRE* t) {
  const int16_t* channels[STIMBRE_MAXCHANNELS] = {};
  for (int c = 0; c < t->numchannels; ++c) channels[c] = t->samples[c] + first;
  const char* message = nullptr;
  MpegOut out{&sink, false};
  const mpegenc_sink encsink{mpegsinkwrite, &out};
  const int layer = t->samplerep == SREP_LAYER1 ? 1 : 2;
  if (mpegenc_encode(layer, t->samplerate, t->bitrate, t->numchannels, channels, count, &encsink,
                     AUREX_progress, &message))
    return true;
  if (!out.failed) AUREX_seterror(message ? message : "Couldn't encode MPEG samples.");
  return false;
}

// The largest stream any accepted rate and bit rate of the layer gives for `frames` frames: the
// memory exporter's size has to hold whatever the timbre asks for.
int64_t mpegestimate(int layer, int64_t frames) {
  static constexpr int32_t kRates[] = {32000, 44100, 48000, 16000, 22050, 24000};
  int64_t most = 0;
  for (int32_t rate : kRates) {
    for (int kbps = 8; kbps <= 448; kbps += 8) {
      const mpegenc_params p{layer, MPEGENC_VERSION_AUTO, rate, kbps * 1000, 1};
      most = std::max(most, mpegenc_streambytes(&p, static_cast<int32_t>(frames)));
    }
  }
  return most;
}

// Frames f rounded up to a multiple of m.
int64_t roundup(int64_t f, int64_t m) {
  return (f + m - 1) / m * m;
}

int64_t estimate(int64_t frames, int rep, int64_t channels) {
  switch (rep) {
    case SREP_S16L_INT:
    case SREP_S16B_INT:
    case SREP_S16B_BLK:
    case SREP_S16L_BLK:
      return 2 * frames * channels;
    case SREP_S8_INT:
    case SREP_S8_BLK:
    case SREP_U8_INT:
      return frames * channels;
    case SREP_QVXA_INT:
    case SREP_QVXA_BLK:
      return channels * (roundup(frames, 28) * 15 / 28);
    case SREP_PL_BLK: {
      // 0.4 bytes a sample, but never less than whole frames with each channel's start byte and
      // the final zero byte take: a short last chunk would not fit otherwise.
      const auto nominal =
          static_cast<int64_t>(0.4 * static_cast<double>(frames) * static_cast<double>(channels));
      return std::max(nominal, channels * (parlet_maxbytes(frames) + 1) + 1);
    }
    case SREP_VAG_BLK:
      return channels * ((roundup(frames, 28) * 4 + 224) / 7);
    case SREP_N64_BLK:
      return channels * (roundup(frames, 16) * 9 / 16);
    case SREP_DVI_INT:
      return channels * (channels == 1 ? roundup(frames, 2) : frames) / 2;
    case SREP_LAYER1:
    case SREP_LAYER2:
      // Three bytes per frame is too little for short sounds (a whole encoder frame per partial
      // frame) and for high bit rates at low sample rates: take the encoder's own size.
      return mpegestimate(rep == SREP_LAYER1 ? 1 : 2, frames);
    default:
      return -1;
  }
}

AUREX_BYTESINK bytesink(Sink& sink) {
  return {[](void* s, const uint8_t* data, int32_t n) { return static_cast<Sink*>(s)->put(data, n); }, &sink};
}

int32_t exportto(Sink& sink, int32_t first, int32_t count, int flags, AUREX_COMPSTATE** states,
                 int32_t* offsets, const STIMBRE* t) {
  if (count == 0) return 1;
  const int rep = t->samplerep;
  if (rep < 0 || rep >= SREP_COUNT) return fail("Unsupported samplerep in export samples."), 0;
  // The range must lie inside every channel buffer the writers read.
  bool valid = t->numchannels >= 1 && t->numchannels <= STIMBRE_MAXCHANNELS && first >= 0 && count > 0 &&
               int64_t{first} + count <= t->numsamples;
  for (int c = 0; valid && c < t->numchannels; ++c) valid = t->samples[c] != nullptr;
  if (!valid) return fail("Sample range or channels out of bounds in isexportsamples."), 0;
  bool ok;
  switch (rep) {
    case SREP_S16L_INT:
    case SREP_S16B_INT:
    case SREP_S8_INT:
    case SREP_U8_INT:
      ok = exportpcminterleaved(sink, first, count, t);
      break;
    case SREP_S16B_BLK:
    case SREP_S16L_BLK:
    case SREP_S8_BLK:
      ok = exportpcmblock(sink, first, count, states, offsets, t);
      break;
    case SREP_QVXA_BLK:
      ok = exportqvxablock(sink, first, count, flags, states, offsets, t);
      break;
    case SREP_LAYER1:
    case SREP_LAYER2:
      ok = exportmpeg(sink, first, count, t);
      break;
    case SREP_DVI_INT:
      ok = exportdvi(sink, first, count, states, t);
      break;
    case SREP_CDXA:
      ok = aurex_exportcdxa(bytesink(sink), first, count, states, t);
      break;
    case SREP_VAG_BLK:
      ok = aurex_exportvag(bytesink(sink), first, count, flags, states, offsets, t);
      break;
    case SREP_N64_BLK:
      ok = aurex_exportn64(bytesink(sink), first, count, offsets, t);
      break;
    case SREP_PL_BLK:
      return exportparlet(sink, first, count, flags, states, offsets, t);
    case SREP_OGG:
      ok = exportogg(sink, first, count, t);
      break;
    default:
      return fail(kMsgExportFormat), 0;
  }
  return ok ? 1 : 0;
}

}  // namespace

int32_t mpeg_framelength(uint32_t header, MPEG_FRAME* frame) {
  if ((header & kMpegSyncMask) != kMpegSyncMask) return 0;
  const int mpeg1 = (header >> 19) & 1;
  const int layerbits = (header >> 17) & 3;
  const int bitrateindex = (header >> 12) & 15;
  const int rateindex = (header >> 10) & 3;
  const int padding = (header >> 9) & 1;
  const int mode = (header >> 6) & 3;
  if (layerbits == 0 || bitrateindex == 0 || bitrateindex == 15 || rateindex == 3) return 0;
  const int layer = 4 - layerbits;
  const int32_t rate = mpeg1 ? kMpegRates[rateindex] : kMpegRates[rateindex] / 2;
  // Both indices were checked above, so the table reads stay inside it.
  const int32_t kbps = kMpegBitrates[mpeg1 ? 0 : 1][layer - 1][bitrateindex];
  int32_t length;
  int samples;
  if (layer == 1) {
    length = (kbps * 12000 / rate + padding) * 4 - kMpegHeaderBytes;
    samples = 384;
  } else {
    int32_t bytes = kbps * 144000 / rate;
    if (layer == 3 && !mpeg1) bytes /= 2;
    length = bytes + padding - kMpegHeaderBytes;
    samples = (layer == 3 && !mpeg1) ? 576 : 1152;
  }
  if (length <= 0) return 0;
  if (frame) *frame = MPEG_FRAME{layer, mode == 3 ? 1 : 2, rate, samples};
  return length;
}

MPEG_WALK mpeg_walk(gfile* file, int32_t start, int64_t stopsamples) {
  MPEG_WALK w{};
  const int64_t size = gsize(file);
  int64_t at = start;
  uint8_t head[kMpegHeaderBytes];
  MPEG_FRAME frame{};
  while (at >= 0 && at + kMpegHeaderBytes <= size) {
    if (gseek(file, static_cast<int32_t>(at)) != 1 || gread(file, head, kMpegHeaderBytes) != kMpegHeaderBytes)
      break;
    const int32_t length = mpeg_framelength(ggetbe(head, 4), &frame);
    // A cut last frame cannot be decoded, so it does not count.
    if (length == 0 || at + kMpegHeaderBytes + length > size) break;
    at += kMpegHeaderBytes + length;
    ++w.frames;
    w.samples += frame.samples;
    w.bytes = at - start;
    w.last = frame;
    if (stopsamples > 0 && w.samples >= stopsamples) break;
  }
  return w;
}

int AUREX_alloccompstates(AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES]) {
  for (int i = 0; i < AUREX_NUMCOMPSTATES; ++i) {
    states[i] = static_cast<AUREX_COMPSTATE*>(galloc(sizeof(AUREX_COMPSTATE)));
    if (!states[i]) {
      for (int k = 0; k < i; ++k) {
        gfree(states[k]);
        states[k] = nullptr;
      }
      AUREX_seterror("Couldn't allocate memory for compression state info.");
      return 0;
    }
    *states[i] = AUREX_COMPSTATE{};
  }
  return 1;
}

void AUREX_initcompstate(AUREX_COMPSTATE* state) {
  if (!state) return;
  const int32_t mark = state->wholeprogress;
  *state = AUREX_COMPSTATE{};
  state->wholeprogress = mark;
}

void AUREX_freecompstates(AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES]) {
  for (int i = 0; i < AUREX_NUMCOMPSTATES; ++i) {
    if (states[i]) gfree(states[i]);
    states[i] = nullptr;
  }
}

int isimportsamples(gfile* file, const int32_t* positions, int32_t startframedisk, int32_t first,
                    int32_t count, int channels, int samplerep, AUREX_COMPSTATE** states, int16_t** buffers) {
  int32_t pos[STIMBRE_MAXCHANNELS] = {};
  for (int c = 0; c < STIMBRE_MAXCHANNELS && positions; ++c) pos[c] = positions[c];
  if (startframedisk != 0) {
    int64_t skip;
    if (samplerep == SREP_S16B_INT) {
      skip = int64_t{startframedisk} * channels * 2;
    } else if (samplerep == SREP_S8_INT) {
      skip = int64_t{startframedisk} * channels;
    } else {
      AUREX_seterror("Unsupported sample representation for computing startframedisk.");
      return 0;
    }
    const int64_t base = (pos[0] != 0 ? pos[0] : gtell(file)) + skip;
    if (base <= 0 || base > INT32_MAX) {
      AUREX_seterror(samplerep == SREP_S16B_INT ? kMsg16 : kMsg8);
      return 0;
    }
    pos[0] = static_cast<int32_t>(base);
  }
  if (channels < 1 || channels > STIMBRE_MAXCHANNELS || first < 0 || count < 0) return fail(kMsgImport), 0;
  if (count == 0) return 1;
  for (int c = 0; c < channels; ++c) {
    if (!buffers[c]) return fail(kMsgImport), 0;
  }
  bool ok;
  switch (samplerep) {
    case SREP_S16L_INT:
    case SREP_S16B_INT:
    case SREP_S8_INT:
    case SREP_U8_INT:
      ok = importpcminterleaved(file, pos[0], first, count, channels, samplerep, buffers);
      break;
    case SREP_S16B_BLK:
    case SREP_S16L_BLK:
    case SREP_S8_BLK:
      ok = importpcmblock(file, pos, first, count, channels, samplerep, buffers);
      break;
    case SREP_QVXA_INT:
      if (channels > 2) return fail(kMsgImport), 0;
      ok = importqvxainterleaved(file, pos[0], first, count, channels, states, buffers);
      break;
    case SREP_QVXA_BLK:
      ok = importqvxablock(file, pos, first, count, channels, states, buffers);
      break;
    case SREP_DVI_INT:
      if (channels > 2) return fail(kMsgImport), 0;
      ok = importdvi(file, pos[0], first, count, channels, states, buffers);
      break;
    case SREP_LAYER1:
    case SREP_LAYER2:
    case SREP_LAYER3:
      ok = importmpeg(file, pos[0], first, count, channels, buffers);
      break;
    case SREP_CDXA:
      if (channels > 2) return fail(kMsgImport), 0;
      ok = aurex_importcdxa(file, pos[0], first, count, channels, states, buffers);
      break;
    case SREP_VAG_BLK:
      ok = aurex_importvag(file, pos, first, count, channels, states, buffers);
      break;
    case SREP_PL_BLK:
      ok = importparlet(file, pos, first, count, channels, states, buffers);
      break;
    case SREP_OGG:
      ok = importogg(file, first, count, channels, buffers);
      break;
    default:
      return fail(kMsgImport), 0;
  }
  return ok ? 1 : 0;
}

int isexportsamples(gfile* sink, uint8_t* mem, int32_t first, int32_t count, int flags,
                    AUREX_COMPSTATE** states, int32_t* offsets, const STIMBRE* timbre) {
  Sink s{sink, mem, -1, 0};
  return exportto(s, first, count, flags, states, offsets, timbre);
}

int32_t isexportsamplesto(uint8_t* mem, int32_t capacity, int32_t first, int32_t count, int flags,
                          AUREX_COMPSTATE** states, int32_t* offsets, const STIMBRE* timbre) {
  Sink s{nullptr, mem, capacity, 0};
  if (!exportto(s, first, count, flags, states, offsets, timbre)) return -1;
  return static_cast<int32_t>(s.written);
}

int32_t AUREX_estimatesize(int32_t frames, int samplerep, int channels) {
  const int64_t bytes = estimate(frames < 0 ? 0 : frames, samplerep, channels < 0 ? 0 : channels);
  if (bytes < 0) {
    AUREX_seterror("Unsupported compression type in memory exporter.");
    return 0;
  }
  if (bytes > INT32_MAX) {
    AUREX_seterror("Couldn't allocate memory for audio samples.");
    return 0;
  }
  return static_cast<int32_t>(bytes);
}

int32_t ismemexportsamples(uint8_t** out, int32_t count, int flags, AUREX_COMPSTATE** states,
                           int32_t* offsets, const STIMBRE* timbre) {
  *out = nullptr;
  int64_t size = AUREX_estimatesize(count, timbre->samplerep, timbre->numchannels);
  if (size == 0) return 0;
  // The channel prefix and its pad byte come on top of the frames.
  if (timbre->samplerep == SREP_QVXA_BLK && (flags & AUREX_EXPORT_CHANNELPREFIX))
    size += 6 * timbre->numchannels;
  // MPEG: the exact stream size when the encoder accepts the timbre's settings.
  if (timbre->samplerep == SREP_LAYER1 || timbre->samplerep == SREP_LAYER2) {
    const mpegenc_params p{timbre->samplerep == SREP_LAYER1 ? 1 : 2, MPEGENC_VERSION_AUTO, timbre->samplerate,
                           timbre->bitrate, timbre->numchannels};
    const int64_t exact = mpegenc_streambytes(&p, count);
    if (exact > 0) size = exact;
  }
  auto* buf = size <= INT32_MAX ? static_cast<uint8_t*>(galloc(static_cast<int32_t>(size))) : nullptr;
  if (!buf) {
    AUREX_seterror("Couldn't allocate memory for audio samples.");
    return 0;
  }
  const int32_t written =
      isexportsamplesto(buf, static_cast<int32_t>(size), 0, count, flags, states, offsets, timbre);
  if (written <= 0) {
    gfree(buf);
    return 0;
  }
  if (written != size) {
    auto* exact = static_cast<uint8_t*>(galloc(written));
    if (!exact) {
      gfree(buf);
      AUREX_seterror("Couldn't allocate memory for audio samples.");
      return 0;
    }
    std::memcpy(exact, buf, static_cast<size_t>(written));
    gfree(buf);
    buf = exact;
  }
  *out = buf;
  return written;
}
