// MPEG audio decoder object: frame headers, the frame loop, Layers 1 and 2 and the PCM hand-out.
// Layer 3 lives in mpegdec_layer3.cpp, the filter bank in mpegdec_synth.cpp and mpegdec_simd.cpp.
#include "quillon/codecs/mpegdec.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "quillon/codecs/mpegdec_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using mpegdec::BitReader;

namespace {

// Scale factors of Layers 1 and 2: 2^(1 - i/3). Index 63 is not a valid code; it maps to a tiny
// gain rather than to a table overrun.
const float* scale_table() {
  static const auto table = [] {
    std::array<float, 64> t{};
    for (int i = 0; i < 64; ++i) t[i] = static_cast<float>(std::exp2(1.0 - i / 3.0));
    return t;
  }();
  return table.data();
}

bool parse_header(const uint8_t* p, size_t avail, MpegHeader& h) {
  if (avail < 4) return false;
  const uint32_t w = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  // Twelve sync bits: MPEG-1 and MPEG-2 only, the 2.5 extension is not recognised.
  if ((w >> 20) != 0xFFF) return false;
  const int layer_bits = (w >> 17) & 3;
  const int bitrate_index = (w >> 12) & 15;
  const int samplerate_index = (w >> 10) & 3;
  // Layer "4", free format, the forbidden bit rate and the reserved sampling rate are refused.
  if (layer_bits == 0 || bitrate_index == 0 || bitrate_index == 15 || samplerate_index == 3) return false;
  MpegHeader r;
  r.mpeg1 = ((w >> 19) & 1) != 0;
  r.lsf = !r.mpeg1;
  r.layer = 4 - layer_bits;
  r.protection = ((w >> 16) & 1) == 0;
  r.bitrate_index = bitrate_index;
  r.samplerate_index = samplerate_index;
  r.padding = (w >> 9) & 1;
  r.mode = (w >> 6) & 3;
  r.mode_extension = (w >> 4) & 3;
  r.copyright = (w >> 3) & 1;
  r.original = (w >> 2) & 1;
  r.channels = r.mode == 3 ? 1 : 2;
  const int v = r.mpeg1 ? 0 : 1;
  r.sample_rate = mpegdec::kSampleRates[v][samplerate_index];
  r.bitrate = mpegdec::kBitrates[v][r.layer - 1][bitrate_index];
  if (r.layer == 1) {
    r.body_bytes = (r.bitrate * 12000 / r.sample_rate + r.padding) * 4 - 4;
    r.samples_per_frame = 384;
  } else {
    int bytes = r.bitrate * 144000 / r.sample_rate;
    if (r.layer == 3 && r.lsf) bytes /= 2;
    r.body_bytes = bytes + r.padding - 4;
    r.samples_per_frame = (r.layer == 3 && r.lsf) ? 576 : 1152;
  }
  if (r.body_bytes <= 0) return false;
  h = r;
  return true;
}

int joint_bound(const MpegHeader& h, int limit) {
  if (h.mode != 1) return limit;
  return std::min(4 * (h.mode_extension + 1), limit);
}

// Requantised value of a sample code v of a quantiser with `levels` levels (odd count, symmetric
// about zero).
inline float dequant(uint32_t v, int levels) {
  return (2.0f * static_cast<float>(v) - static_cast<float>(levels - 1)) / static_cast<float>(levels);
}

// Layer 2 requantised values by class, for every code the field can hold (damaged streams send
// codes beyond the levels too): three values per grouped code, one per plain code up to 10 bits;
// wider classes are computed per sample.
struct L2Dequant {
  std::vector<float> values[17];
};

const L2Dequant& l2_dequant() {
  static const L2Dequant table = [] {
    L2Dequant t;
    for (int c = 0; c < 17; ++c) {
      const mpegdec::L2Class& q = mpegdec::kL2Classes[c];
      const uint32_t codes = 1u << q.bits;
      if (q.grouped) {
        for (uint32_t code = 0; code < codes; ++code) {
          uint32_t rest = code;
          for (int i = 0; i < 3; ++i) {
            t.values[c].push_back(dequant(rest % q.levels, q.levels));
            rest /= q.levels;
          }
        }
      } else if (q.bits <= 10) {
        for (uint32_t code = 0; code < codes; ++code) t.values[c].push_back(dequant(code, q.levels));
      }
    }
    return t;
  }();
  return table;
}

int decode_layer1(const MpegHeader& h, BitReader& br, float (*out)[36][32]) {
  const int nch = h.channels;
  const int bound = nch == 2 ? joint_bound(h, 32) : 32;
  const float* scale = scale_table();
  int alloc[2][32] = {};
  float sf[2][32] = {};
  for (int sb = 0; sb < 32; ++sb) {
    for (int ch = 0; ch < nch; ++ch) {
      if (sb < bound || ch == 0)
        alloc[ch][sb] = static_cast<int>(br.get(4));
      else
        alloc[ch][sb] = alloc[0][sb];
    }
  }
  for (int ch = 0; ch < nch; ++ch)
    for (int sb = 0; sb < 32; ++sb)
      if (alloc[ch][sb] == 15) alloc[ch][sb] = 0;  // forbidden code: the subband is left silent
  for (int sb = 0; sb < 32; ++sb)
    for (int ch = 0; ch < nch; ++ch)
      if (alloc[ch][sb]) sf[ch][sb] = scale[br.get(6)];
  for (int s = 0; s < 12; ++s) {
    for (int sb = 0; sb < 32; ++sb) {
      uint32_t shared = 0;
      for (int ch = 0; ch < nch; ++ch) {
        const int a = alloc[ch][sb];
        if (!a) {
          out[ch][s][sb] = 0.0f;
          continue;
        }
        const int nb = a + 1;
        uint32_t code;
        if (sb < bound || ch == 0)
          shared = code = br.get(nb);
        else
          code = shared;
        out[ch][s][sb] = dequant(code, (1 << nb) - 1) * sf[ch][sb];
      }
    }
  }
  return 12;
}

int decode_layer2(const MpegHeader& h, BitReader& br, float (*out)[36][32]) {
  const mpegdec::L2AllocTable& t = mpegdec::l2_alloc_table(h);
  const int nch = h.channels;
  const int sblimit = t.sblimit;
  const int bound = nch == 2 ? joint_bound(h, sblimit) : sblimit;
  const float* scale = scale_table();
  int cls[2][32];
  for (auto& c : cls) std::fill(std::begin(c), std::end(c), -1);
  for (int sb = 0; sb < sblimit; ++sb) {
    for (int ch = 0; ch < nch; ++ch) {
      if (sb < bound || ch == 0)
        cls[ch][sb] = t.cls[sb][br.get(t.nbal[sb])];
      else
        cls[ch][sb] = cls[0][sb];
    }
  }
  int scfsi[2][32] = {};
  for (int sb = 0; sb < sblimit; ++sb)
    for (int ch = 0; ch < nch; ++ch)
      if (cls[ch][sb] >= 0) scfsi[ch][sb] = static_cast<int>(br.get(2));
  float sf[2][32][3] = {};
  for (int sb = 0; sb < sblimit; ++sb) {
    for (int ch = 0; ch < nch; ++ch) {
      if (cls[ch][sb] < 0) continue;
      float* f = sf[ch][sb];
      switch (scfsi[ch][sb]) {
        case 0:
          f[0] = scale[br.get(6)];
          f[1] = scale[br.get(6)];
          f[2] = scale[br.get(6)];
          break;
        case 1:
          f[0] = f[1] = scale[br.get(6)];
          f[2] = scale[br.get(6)];
          break;
        case 2:
          f[0] = f[1] = f[2] = scale[br.get(6)];
          break;
        default:
          f[0] = scale[br.get(6)];
          f[1] = f[2] = scale[br.get(6)];
          break;
      }
    }
  }
  const L2Dequant& dq = l2_dequant();
  // Three codes take at most 48 bits: one refill per subband and channel.
  mpegdec::BitCache bits(br);
  for (int gr = 0; gr < 12; ++gr) {
    for (int sb = 0; sb < 32; ++sb) {
      uint32_t shared[3] = {};
      for (int ch = 0; ch < nch; ++ch) {
        if (sb >= sblimit || cls[ch][sb] < 0) {
          for (int i = 0; i < 3; ++i) out[ch][gr * 3 + i][sb] = 0.0f;
          continue;
        }
        const int c = cls[ch][sb];
        const mpegdec::L2Class& q = mpegdec::kL2Classes[c];
        uint32_t v[3] = {};
        if (sb < bound || ch == 0) {
          bits.refill();
          if (q.grouped) {
            v[0] = bits.get(q.bits);
          } else {
            for (int i = 0; i < 3; ++i) v[i] = bits.get(q.bits);
          }
          std::copy(v, v + 3, shared);
        } else {
          std::copy(shared, shared + 3, v);
        }
        const float f = sf[ch][sb][gr / 4];
        float* o = &out[ch][gr * 3][sb];
        if (q.grouped) {
          const float* t = &dq.values[c][v[0] * 3];
          for (int i = 0; i < 3; ++i) o[32 * i] = t[i] * f;
        } else if (!dq.values[c].empty()) {
          for (int i = 0; i < 3; ++i) o[32 * i] = dq.values[c][v[i]] * f;
        } else {
          for (int i = 0; i < 3; ++i) o[32 * i] = dequant(v[i], q.levels) * f;
        }
      }
    }
  }
  return 36;
}

void interleave(const int16_t* a, const int16_t* b, int n, int16_t* out) {
  int i = 0;
#if defined(__SSE2__)
  for (; i + 8 <= n; i += 8) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_unpacklo_epi16(va, vb));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 8), _mm_unpackhi_epi16(va, vb));
  }
#endif
  for (; i < n; ++i) {
    out[2 * i] = a[i];
    out[2 * i + 1] = b[i];
  }
}

// Decodes the frame at the current position into the PCM buffer. False at the end of the data or at
// a frame that cannot be decoded.
bool decode_frame(MpegDecoder& dec) {
  MpegDecoder::State& s = *dec.state;
  MpegHeader h;
  if (!dec.next_header(h)) return false;
  if (static_cast<size_t>(h.body_bytes) > s.len - s.pos) return false;  // cut frame
  const uint8_t* body = s.buf + s.pos;
  size_t body_size = static_cast<size_t>(h.body_bytes);
  s.pos += body_size;
  if (h.protection) {
    // The CRC word is not checked.
    if (body_size < 2) return false;
    body += 2;
    body_size -= 2;
  }
  int blocks = 0;
  if (h.layer == 3) {
    blocks = mpegdec::layer3_decode(s.l3, h, body, body_size, s.sb);
  } else {
    BitReader br(body, body_size);
    blocks = h.layer == 1 ? decode_layer1(h, br, s.sb) : decode_layer2(h, br, s.sb);
  }
  if (blocks <= 0) return false;
  // The output keeps the layout of the first frame: a mono frame in a two-channel stream is
  // duplicated, a two-channel frame in a mono stream gives its first channel.
  const int out_ch = s.first.channels;
  if (out_ch == 1) {
    s.synth(s.synth_ch[0], &s.sb[0][0][0], blocks, s.pcm, 1);
    s.planes[0] = s.planes[1] = s.pcm;
  } else {
    // Each channel is synthesised on its own, then the two are interleaved.
    int16_t* left = s.chan_pcm[0];
    int16_t* right = s.chan_pcm[1];
    s.synth(s.synth_ch[0], &s.sb[0][0][0], blocks, left, 1);
    if (h.channels == 2)
      s.synth(s.synth_ch[1], &s.sb[1][0][0], blocks, right, 1);
    else
      right = left;
    interleave(left, right, blocks * 32, s.pcm);
    s.planes[0] = left;
    s.planes[1] = right;
  }
  s.pcm_bytes = static_cast<size_t>(blocks) * 32 * out_ch * sizeof(int16_t);
  s.pcm_read = 0;
  return true;
}

}  // namespace

MpegDecoder::MpegDecoder() : state(new State) {}

MpegDecoder::~MpegDecoder() {
  delete state;
}

bool MpegDecoder::peek_header(MpegHeader& header) const {
  if (!state->buf || state->pos >= state->len) return false;
  return parse_header(state->buf + state->pos, state->len - state->pos, header);
}

bool MpegDecoder::next_header(MpegHeader& header) {
  if (!peek_header(header)) return false;
  state->pos += 4;
  return true;
}

MpegDecoder* mpegdec_create() {
  MpegDecoder* dec = new (std::nothrow) MpegDecoder;
  if (!dec) return nullptr;
  dec->state->synth = mpegdec::synth_function(mpegdec_default_path());
  mpegdec::layer3_reset(dec->state->l3);
  return dec;
}

int mpegdec_open(MpegDecoder* dec, const uint8_t* buffer, size_t length) {
  if (!dec) return -1;
  MpegDecoder::State& s = *dec->state;
  s.buf = buffer;
  s.len = buffer ? length : 0;
  s.pos = 0;
  s.open = false;
  MpegHeader h;
  if (!dec->peek_header(h)) {
    s.buf = nullptr;
    s.len = 0;
    return -1;
  }
  s.first = h;
  for (auto& c : s.synth_ch) c = mpegdec::SynthChannel{};
  mpegdec::layer3_reset(s.l3);
  s.pcm_bytes = s.pcm_read = 0;
  s.open = true;
  return 0;
}

int mpegdec_open_at(MpegDecoder* dec, const uint8_t* buffer, size_t length, size_t offset) {
  if (mpegdec_open(dec, buffer, length) != 0) return -1;
  MpegHeader h;
  if (offset >= length || !parse_header(buffer + offset, length - offset, h)) {
    mpegdec_close(dec);
    return -1;
  }
  dec->state->pos = offset;
  return 0;
}

bool mpegdec_plan_split(const uint8_t* buffer, size_t length, int64_t at, MpegSplit* split) {
  if (!buffer || !split || at <= 0) return false;
  // Per frame before the split: its offset and the main data bytes it appends to the reservoir.
  struct Frame {
    size_t offset, main_bytes;
  };
  std::vector<Frame> frames;
  MpegHeader first{}, h;
  size_t pos = 0;
  int64_t sample = 0;
  for (;;) {
    if (pos >= length || !parse_header(buffer + pos, length - pos, h)) return false;
    if (frames.empty()) first = h;
    if (h.layer != first.layer || h.mpeg1 != first.mpeg1 || h.samplerate_index != first.samplerate_index ||
        h.channels != first.channels)
      return false;
    if (sample >= at) break;
    if (static_cast<size_t>(h.body_bytes) > length - pos - 4) return false;
    size_t md = 0;
    if (h.layer == 3) {
      const size_t crc = h.protection ? 2 : 0, body = static_cast<size_t>(h.body_bytes);
      const size_t head = crc + mpegdec::layer3_side_info_bytes(h);
      md = body > head ? body - head : 0;
    }
    frames.push_back({pos, md});
    sample += h.samples_per_frame;
    pos += 4 + static_cast<size_t>(h.body_bytes);
  }
  // The two frames before the split must decode exactly: the last one leaves the overlap and the
  // synthesis history, and at the lower sampling rates (one granule a frame) its output depends on
  // the overlap of the one before. Those two find their main data when the frames before them
  // appended at least as much as main_data_begin can claim.
  constexpr size_t kMaxMainDataBegin = 511;
  const size_t k = frames.size();
  size_t w = k >= 2 ? k - 2 : 0;
  size_t reservoir = 0;
  while (w > 0 && reservoir < kMaxMainDataBegin) reservoir += frames[--w].main_bytes;
  split->start = k ? frames[w].offset : 0;
  split->first_sample = sample;
  split->warmup = static_cast<int64_t>(k - w) * first.samples_per_frame;
  return true;
}

size_t mpegdec_read(MpegDecoder* dec, void* out, size_t bytes) {
  if (!dec || !dec->state->open || !out) return 0;
  MpegDecoder::State& s = *dec->state;
  auto* dst = static_cast<uint8_t*>(out);
  size_t done = 0;
  while (done < bytes) {
    if (s.pcm_read == s.pcm_bytes && !decode_frame(*dec)) break;
    const size_t n = std::min(bytes - done, s.pcm_bytes - s.pcm_read);
    std::memcpy(dst + done, reinterpret_cast<const uint8_t*>(s.pcm) + s.pcm_read, n);
    s.pcm_read += n;
    done += n;
  }
  return done;
}

size_t mpegdec_read_planar(MpegDecoder* dec, int16_t* const* out, int channels, size_t samples) {
  if (!dec || !dec->state->open || !out || channels < 1) return 0;
  MpegDecoder::State& s = *dec->state;
  const size_t frame = static_cast<size_t>(s.first.channels) * sizeof(int16_t);
  size_t done = 0;
  while (done < samples) {
    if (s.pcm_read == s.pcm_bytes && !decode_frame(*dec)) break;
    const size_t at = s.pcm_read / frame;
    const size_t n = std::min(samples - done, (s.pcm_bytes - s.pcm_read) / frame);
    if (n == 0) break;  // an interleaved read stopped inside a sample frame
    for (int c = 0; c < channels; ++c)
      std::memcpy(out[c] + done, s.planes[std::min(c, s.first.channels - 1)] + at, n * sizeof(int16_t));
    s.pcm_read += n * frame;
    done += n;
  }
  return done;
}

void mpegdec_close(MpegDecoder* dec) {
  if (!dec) return;
  dec->state->open = false;
  dec->state->buf = nullptr;
  dec->state->len = 0;
}

void mpegdec_destroy(MpegDecoder* dec) {
  delete dec;
}

int mpegdec_channels(const MpegDecoder* dec) {
  return dec && dec->state->open ? dec->state->first.channels : 0;
}
int mpegdec_sample_rate(const MpegDecoder* dec) {
  return dec && dec->state->open ? dec->state->first.sample_rate : 0;
}
int mpegdec_samples_per_frame(const MpegDecoder* dec) {
  return dec && dec->state->open ? dec->state->first.samples_per_frame : 0;
}
int mpegdec_layer(const MpegDecoder* dec) {
  return dec && dec->state->open ? dec->state->first.layer : 0;
}
int mpegdec_frame_pcm_bytes(const MpegDecoder* dec) {
  return dec && dec->state->open ? dec->state->first.samples_per_frame * 2 * dec->state->first.channels : 0;
}

void mpegdec_set_path(MpegDecoder* dec, MpegSynthPath path) {
  if (dec) dec->state->synth = mpegdec::synth_function(path);
}
