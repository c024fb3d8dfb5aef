// MPEG audio Layer 1 and Layer 2 encoder: polyphase analysis, scale factors, psychoacoustic
// model, bit allocation by signal-to-mask ratio, and the frame syntax of ISO/IEC 11172-3 (with
// the lower sampling rates of ISO/IEC 13818-3).
#include "quillon/codecs/mpegenc.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "quillon/codecs/mpegenc_psy.h"
#include "quillon/codecs/mpegenc_tables.h"

namespace {

namespace tab = mpegenc_tables;

constexpr const char* kMsgBadRate = "Invalid sample rate for MPEG.";
constexpr const char* kMsgBadRateForType = "Invalid sample rate for MPEG type.";
constexpr const char* kMsgBadBitrate = "Invalid bitrate for MPEG type.";
constexpr const char* kMsgBadLayer = "Invalid layer for MPEG encoder.";
constexpr const char* kMsgBadChannels = "MPEG encoder handles one or two channels only.";
constexpr const char* kMsgBadArguments = "Invalid arguments for MPEG encoder.";
constexpr const char* kMsgNoMemory = "Couldn't allocate memory for MPEG encoder.";
constexpr const char* kMsgWrite = "Couldn't write MPEG data.";

constexpr int kBitBufferBytes = 4096;
constexpr int kHeaderBits = 32;
constexpr int kMaxFrameSamples = 1152;
// Input kept in front of a frame: the analysis window reaches 511 samples back; 480 before the
// frame plus the 31 of its first block.
constexpr int kHistory = 480;
constexpr int kHeaderModeStereo = 0;
constexpr int kHeaderModeSingle = 3;

struct Setup {
  int layer;
  bool lsf;
  int samplerate;
  int rate_index;
  int bitrate_index;
  int kbps;
  int numchannels;
  int framesamples;
  int slotbytes;
  int64_t slots_whole;  // slots per frame before padding
  int64_t slots_frac;   // fraction of a slot per frame, in units of 1/samplerate
};

void set_message(const char** message, const char* text) {
  if (message) *message = text;
}

int layer2_allocation_bits(const tab::AllocTable& at, int numchannels) {
  int bits = 0;
  for (int sb = 0; sb < at.sblimit; ++sb) bits += at.nbal[sb] * numchannels;
  return bits;
}

int validate(const mpegenc_params* p, Setup* s, const char** message) {
  if (!p) {
    set_message(message, kMsgBadArguments);
    return 0;
  }
  if (p->layer != 1 && p->layer != 2) {
    set_message(message, kMsgBadLayer);
    return 0;
  }
  int found_lsf = -1, rate_index = -1;
  for (int v = 0; v < 2 && found_lsf < 0; ++v)
    for (int i = 0; i < 3; ++i)
      if (tab::kSampleRate[v][i] == p->samplerate) {
        found_lsf = v == tab::kVersionLsf ? 1 : 0;
        rate_index = i;
        break;
      }
  if (found_lsf < 0) {
    set_message(message, kMsgBadRate);
    return 0;
  }
  if ((p->version == MPEGENC_VERSION_MPEG1 && found_lsf) ||
      (p->version == MPEGENC_VERSION_LSF && !found_lsf) ||
      (p->version != MPEGENC_VERSION_AUTO && p->version != MPEGENC_VERSION_MPEG1 &&
       p->version != MPEGENC_VERSION_LSF)) {
    set_message(message, kMsgBadRateForType);
    return 0;
  }
  const bool lsf = found_lsf == 1;
  const int kbps = p->bitrate / 1000;
  int bitrate_index = -1;
  // Index 0 is the free format: it has no frame size of its own, so it cannot be encoded here.
  for (int i = 1; i < 15; ++i)
    if (tab::kBitrateKbps[lsf ? 0 : 1][p->layer - 1][i] == kbps) bitrate_index = i;
  if (p->bitrate < 0 || bitrate_index < 0) {
    set_message(message, kMsgBadBitrate);
    return 0;
  }
  if (p->numchannels != 1 && p->numchannels != 2) {
    set_message(message, kMsgBadChannels);
    return 0;
  }
  s->layer = p->layer;
  s->lsf = lsf;
  s->samplerate = p->samplerate;
  s->rate_index = rate_index;
  s->bitrate_index = bitrate_index;
  s->kbps = kbps;
  s->numchannels = p->numchannels;
  s->framesamples = p->layer == 1 ? 384 : 1152;
  s->slotbytes = p->layer == 1 ? 4 : 1;
  const int64_t slots_times_rate = static_cast<int64_t>(kbps) * 1000 * s->framesamples / (8 * s->slotbytes);
  s->slots_whole = slots_times_rate / p->samplerate;
  s->slots_frac = slots_times_rate % p->samplerate;
  // A frame too short for its header and bit allocation (Layer 1 stereo at 32 kbit/s) cannot be
  // written at all.
  const int side_bits =
      p->layer == 1 ? 4 * 32 * p->numchannels
                    : layer2_allocation_bits(
                          tab::layer2_alloc_table(lsf, p->samplerate, kbps, p->numchannels), p->numchannels);
  if (s->slots_whole * s->slotbytes * 8 < kHeaderBits + side_bits) {
    set_message(message, kMsgBadBitrate);
    return 0;
  }
  return 1;
}

// Collects bits most significant first and hands them to the sink in 4096-byte pieces.
struct BitWriter {
  const mpegenc_sink* sink;
  uint8_t buf[kBitBufferBytes];
  int32_t used;
  uint64_t acc;
  int nacc;
  bool failed;

  void put(uint32_t value, int nbits) {
    acc = (acc << nbits) | (value & ((1u << nbits) - 1u));
    nacc += nbits;
    while (nacc >= 8) {
      nacc -= 8;
      buf[used++] = static_cast<uint8_t>(acc >> nacc);
      if (used == kBitBufferBytes) flush();
    }
  }
  void flush() {
    if (used > 0 && !failed && sink->write(sink->context, buf, used) != 1) failed = true;
    used = 0;
  }
};

struct State {
  Setup s;
  const tab::AllocTable* alloc_table;
  int sblimit;
  mpegenc_psy::Tables psy;
  mpegenc_psy::Work work;
  float input[2][kMaxFrameSamples + kHistory];
  float fft_in[2][mpegenc_psy::kFftSize];
  float sbs[2][kMaxFrameSamples / 32][32];
  int8_t scf[2][32][3];
  int8_t scfsi[2][32];
  int8_t alloc[2][32];
  float smr[2][32];
  int64_t slot_remainder;
  BitWriter bw;
};

float sample_at(const int16_t* ch, int32_t numsamples, int64_t i) {
  return i >= 0 && i < numsamples ? ch[i] * (1.0f / 32768.0f) : 0.0f;
}

void analyse(State& st, const int16_t* const* channels, int32_t numsamples, int64_t frame_start) {
  const tab::Derived& d = tab::derived();
  const int blocks = st.s.framesamples / 32;
  const int total = st.s.framesamples + kHistory;
  for (int c = 0; c < st.s.numchannels; ++c) {
    // The input is kept newest first so that the window runs forward over it.
    float* in = st.input[c];
    const int64_t first = frame_start - kHistory;
    if (first >= 0 && first + total <= numsamples) {
      const int16_t* src = channels[c] + first;
      for (int j = 0; j < total; ++j) in[total - 1 - j] = src[j] * (1.0f / 32768.0f);
    } else {
      for (int j = 0; j < total; ++j) in[total - 1 - j] = sample_at(channels[c], numsamples, first + j);
    }
    for (int b = 0; b < blocks; ++b) {
      // x[i] is the i-th most recent input sample of this block.
      const float* x = in + total - 512 - 32 * b;
      float y[64];
      for (int k = 0; k < 64; ++k) y[k] = d.window[k] * x[k];
      for (int j = 1; j < 8; ++j)
        for (int k = 0; k < 64; ++k) y[k] += d.window[64 * j + k] * x[64 * j + k];
      // The modulation cos((2i+1)(k-16)pi/64) is even about k = 16 and odd about k = 48, which
      // folds the 64 sums onto 32 terms.
      float a[32];
      a[0] = y[16];
      for (int m = 1; m <= 16; ++m) a[m] = y[16 - m] + y[16 + m];
      for (int m = 17; m < 32; ++m) a[m] = y[16 + m] - y[80 - m];
      float acc[32];
      for (int i = 0; i < 32; ++i) acc[i] = d.matrix[0][i] * a[0];
      for (int m = 1; m < 32; ++m)
        for (int i = 0; i < 32; ++i) acc[i] += d.matrix[m][i] * a[m];
      std::copy(acc, acc + 32, st.sbs[c][b]);
    }
  }
}

int scalefactor_index(float peak) {
  const tab::Derived& d = tab::derived();
  if (!(peak > d.scalefactor[62])) return 62;
  int i = static_cast<int>(-3.0f * std::log2(peak * 0.5f));
  i = std::clamp(i, 0, 62);
  while (i > 0 && d.scalefactor[i] < peak) --i;
  while (i < 62 && d.scalefactor[i + 1] >= peak) ++i;
  return i;
}

void choose_scalefactors(State& st) {
  const int parts = st.s.layer == 1 ? 1 : 3;
  const int blocks_per_part = 12;
  const int sblimit = st.sblimit;
  for (int c = 0; c < st.s.numchannels; ++c) {
    for (int sb = 0; sb < sblimit; ++sb) {
      for (int p = 0; p < parts; ++p) {
        float peak = 0.0f;
        for (int b = p * blocks_per_part; b < (p + 1) * blocks_per_part; ++b)
          peak = std::max(peak, std::fabs(st.sbs[c][b][sb]));
        st.scf[c][sb][p] = static_cast<int8_t>(scalefactor_index(peak));
      }
      if (st.s.layer == 1) {
        st.scf[c][sb][1] = st.scf[c][sb][2] = st.scf[c][sb][0];
        continue;
      }
      // Layer 2 sends a scale factor once for parts whose factors lie within two steps (4 dB): the
      // larger factor serves both, which costs little accuracy and saves 6 bits each time.
      int8_t* f = st.scf[c][sb];
      const auto close = [](int x, int y) { return std::abs(x - y) <= 2; };
      if (close(f[0], f[1]) && close(f[1], f[2]) && close(f[0], f[2])) {
        const int8_t m = std::min({f[0], f[1], f[2]});
        f[0] = f[1] = f[2] = m;
        st.scfsi[c][sb] = 2;
      } else if (close(f[0], f[1])) {
        f[0] = f[1] = std::min(f[0], f[1]);
        st.scfsi[c][sb] = 1;
      } else if (close(f[1], f[2])) {
        f[1] = f[2] = std::min(f[1], f[2]);
        st.scfsi[c][sb] = 3;
      } else {
        st.scfsi[c][sb] = 0;
      }
    }
    for (int sb = sblimit; sb < 32; ++sb) {
      st.scf[c][sb][0] = st.scf[c][sb][1] = st.scf[c][sb][2] = 62;
      st.scfsi[c][sb] = 0;
    }
  }
}

void psychoacoustics(State& st, const int16_t* const* channels, int32_t numsamples, int64_t frame_start) {
  const tab::Derived& d = tab::derived();
  // The analysis filter bank delays its output by about 225 samples; centre the spectrum on the
  // input behind this frame's subband samples.
  const int64_t centre = frame_start + st.s.framesamples / 2 - 225;
  const int64_t first = centre - mpegenc_psy::kFftSize / 2;
  const float* spectra_in[2] = {st.fft_in[0], st.fft_in[1]};
  for (int c = 0; c < st.s.numchannels; ++c)
    for (int i = 0; i < mpegenc_psy::kFftSize; ++i)
      st.fft_in[c][i] = sample_at(channels[c], numsamples, first + i);
  mpegenc_psy::compute_spectra(&st.work, spectra_in, st.s.numchannels);
  for (int c = 0; c < st.s.numchannels; ++c) {
    float scf_max[32];
    for (int sb = 0; sb < 32; ++sb) {
      const int8_t* f = st.scf[c][sb];
      scf_max[sb] = d.scalefactor[std::min({f[0], f[1], f[2]})];
    }
    mpegenc_psy::compute_smr(st.psy, &st.work, c, scf_max, st.smr[c]);
  }
}

int layer2_sample_bits(int cls) {
  if (cls < 0) return 0;
  const tab::QuantClass& q = tab::kQuantClass[cls];
  return 12 * (q.grouped ? q.bits : 3 * q.bits);
}

int layer2_scf_bits(int scfsi) {
  return 2 + 6 * (scfsi == 0 ? 3 : scfsi == 2 ? 1 : 2);
}

// Greedy allocation: the band whose quantization noise stands highest above its mask gets the
// next step, as long as the frame has room for it.
void allocate_bits(State& st, int frame_bits) {
  const int nch = st.s.numchannels;
  const bool l1 = st.s.layer == 1;
  const tab::AllocTable& at = *st.alloc_table;
  int left = frame_bits - kHeaderBits - (l1 ? 4 * 32 * nch : layer2_allocation_bits(at, nch));
  constexpr int kNoStep = 1 << 30;
  // Bits the next step of band (c, sb) costs, kNoStep when it has none left.
  const auto step_cost = [&](int c, int sb) {
    const int a = st.alloc[c][sb];
    if (l1) return a >= 14 ? kNoStep : a == 0 ? 6 + 12 * 2 : 12;
    if (a >= (1 << at.nbal[sb]) - 1) return kNoStep;
    const int cost = layer2_sample_bits(at.cls[sb][a + 1]) - layer2_sample_bits(at.cls[sb][a]);
    return a == 0 ? cost + layer2_scf_bits(st.scfsi[c][sb]) : cost;
  };
  const int n = st.sblimit * nch;  // entries sb * nch + c
  float mnr[64];
  int cost[64];
  for (int c = 0; c < nch; ++c)
    for (int sb = 0; sb < 32; ++sb) st.alloc[c][sb] = 0;
  for (int sb = 0; sb < st.sblimit; ++sb)
    for (int c = 0; c < nch; ++c) {
      mnr[sb * nch + c] = -st.smr[c][sb];
      cost[sb * nch + c] = step_cost(c, sb);
    }
  for (;;) {
    int best_i = -1;
    float best = 1e30f;
    for (int i = 0; i < n; ++i)
      if (mnr[i] < best && cost[i] <= left) {
        best = mnr[i];
        best_i = i;
      }
    if (best_i < 0) break;
    const int sb = best_i / nch, c = best_i % nch;
    left -= cost[best_i];
    const int a = ++st.alloc[c][sb];
    const float snr = l1 ? tab::kLayer1SnrDb[a] : tab::kClassSnrDb[at.cls[sb][a]];
    mnr[best_i] = snr - st.smr[c][sb];
    cost[best_i] = step_cost(c, sb);
  }
}

inline uint32_t quantize(float x, float inv_scale, int steps) {
  const int q = static_cast<int>((x * inv_scale + 1.0f) * 0.5f * steps);
  return static_cast<uint32_t>(std::clamp(q, 0, steps - 1));
}

void write_header(State& st, int padding) {
  BitWriter& bw = st.bw;
  bw.put(0xFFF, 12);
  bw.put(st.s.lsf ? 0 : 1, 1);
  bw.put(st.s.layer == 1 ? 3 : 2, 2);
  bw.put(1, 1);  // no CRC
  bw.put(static_cast<uint32_t>(st.s.bitrate_index), 4);
  bw.put(static_cast<uint32_t>(st.s.rate_index), 2);
  bw.put(static_cast<uint32_t>(padding), 1);
  bw.put(0, 1);  // private
  bw.put(st.s.numchannels == 2 ? kHeaderModeStereo : kHeaderModeSingle, 2);
  bw.put(0, 2);  // mode extension
  bw.put(0, 1);  // copyright
  bw.put(0, 1);  // original
  bw.put(0, 2);  // emphasis
}

int write_layer1(State& st) {
  const tab::Derived& d = tab::derived();
  BitWriter& bw = st.bw;
  const int nch = st.s.numchannels;
  int bits = 0;
  for (int sb = 0; sb < 32; ++sb)
    for (int c = 0; c < nch; ++c) {
      bw.put(static_cast<uint32_t>(st.alloc[c][sb]), 4);
      bits += 4;
    }
  for (int sb = 0; sb < 32; ++sb)
    for (int c = 0; c < nch; ++c)
      if (st.alloc[c][sb]) {
        bw.put(static_cast<uint32_t>(st.scf[c][sb][0]), 6);
        bits += 6;
      }
  float inv[2][32];
  for (int c = 0; c < nch; ++c)
    for (int sb = 0; sb < 32; ++sb) inv[c][sb] = 1.0f / d.scalefactor[st.scf[c][sb][0]];
  for (int s = 0; s < 12; ++s)
    for (int sb = 0; sb < 32; ++sb)
      for (int c = 0; c < nch; ++c) {
        const int a = st.alloc[c][sb];
        if (!a) continue;
        const int nb = a + 1;
        bw.put(quantize(st.sbs[c][s][sb], inv[c][sb], (1 << nb) - 1), nb);
        bits += nb;
      }
  return bits;
}

int write_layer2(State& st) {
  const tab::Derived& d = tab::derived();
  const tab::AllocTable& at = *st.alloc_table;
  BitWriter& bw = st.bw;
  const int nch = st.s.numchannels;
  int bits = 0;
  for (int sb = 0; sb < st.sblimit; ++sb)
    for (int c = 0; c < nch; ++c) {
      bw.put(static_cast<uint32_t>(st.alloc[c][sb]), at.nbal[sb]);
      bits += at.nbal[sb];
    }
  for (int sb = 0; sb < st.sblimit; ++sb)
    for (int c = 0; c < nch; ++c)
      if (st.alloc[c][sb]) {
        bw.put(static_cast<uint32_t>(st.scfsi[c][sb]), 2);
        bits += 2;
      }
  for (int sb = 0; sb < st.sblimit; ++sb)
    for (int c = 0; c < nch; ++c) {
      if (!st.alloc[c][sb]) continue;
      const int8_t* f = st.scf[c][sb];
      const int si = st.scfsi[c][sb];
      bw.put(static_cast<uint32_t>(f[0]), 6);
      if (si == 0 || si == 3) bw.put(static_cast<uint32_t>(f[1]), 6);
      if (si == 0 || si == 1) bw.put(static_cast<uint32_t>(f[2]), 6);
      bits += 6 * (si == 0 ? 3 : si == 2 ? 1 : 2);
    }
  for (int gr = 0; gr < 12; ++gr) {
    const int part = gr / 4;
    for (int sb = 0; sb < st.sblimit; ++sb)
      for (int c = 0; c < nch; ++c) {
        const int a = st.alloc[c][sb];
        if (!a) continue;
        const tab::QuantClass& q = tab::kQuantClass[at.cls[sb][a]];
        const float inv = 1.0f / d.scalefactor[st.scf[c][sb][part]];
        const uint32_t v0 = quantize(st.sbs[c][gr * 3][sb], inv, q.steps);
        const uint32_t v1 = quantize(st.sbs[c][gr * 3 + 1][sb], inv, q.steps);
        const uint32_t v2 = quantize(st.sbs[c][gr * 3 + 2][sb], inv, q.steps);
        if (q.grouped) {
          const uint32_t n = static_cast<uint32_t>(q.steps);
          bw.put(v0 + n * (v1 + n * v2), q.bits);
          bits += q.bits;
        } else {
          bw.put(v0, q.bits);
          bw.put(v1, q.bits);
          bw.put(v2, q.bits);
          bits += 3 * q.bits;
        }
      }
  }
  return bits;
}

void encode_frame(State& st, const int16_t* const* channels, int32_t numsamples, int64_t frame_start) {
  st.slot_remainder += st.s.slots_frac;
  int padding = 0;
  if (st.slot_remainder >= st.s.samplerate) {
    st.slot_remainder -= st.s.samplerate;
    padding = 1;
  }
  const int frame_bits = static_cast<int>((st.s.slots_whole + padding) * st.s.slotbytes * 8);

  analyse(st, channels, numsamples, frame_start);
  choose_scalefactors(st);
  psychoacoustics(st, channels, numsamples, frame_start);
  allocate_bits(st, frame_bits);

  write_header(st, padding);
  int bits = kHeaderBits + (st.s.layer == 1 ? write_layer1(st) : write_layer2(st));
  for (; bits + 16 <= frame_bits; bits += 16) st.bw.put(0, 16);
  if (bits < frame_bits) st.bw.put(0, frame_bits - bits);
}

}  // namespace

int mpegenc_checkparams(const mpegenc_params* params, const char** message) {
  Setup s;
  return validate(params, &s, message);
}

int mpegenc_check(int layer, int samplerate, int bitrate, const char** message) {
  const mpegenc_params p{layer, MPEGENC_VERSION_AUTO, samplerate, bitrate, 1};
  return mpegenc_checkparams(&p, message);
}

int64_t mpegenc_streambytes(const mpegenc_params* params, int32_t numsamples) {
  Setup s;
  if (!validate(params, &s, nullptr) || numsamples <= 0) return 0;
  const int64_t frames = (static_cast<int64_t>(numsamples) + s.framesamples - 1) / s.framesamples;
  const int64_t slots = frames * s.slots_whole + frames * s.slots_frac / s.samplerate;
  return slots * s.slotbytes;
}

int mpegenc_encodeparams(const mpegenc_params* params, const int16_t* const* channels, int32_t numsamples,
                         const mpegenc_sink* sink, mpegenc_progressfn progress, const char** message) {
  Setup s;
  if (!validate(params, &s, message)) return 0;
  if (numsamples < 0 || !sink || !sink->write || (numsamples > 0 && !channels)) {
    set_message(message, kMsgBadArguments);
    return 0;
  }
  for (int c = 0; c < s.numchannels && numsamples > 0; ++c)
    if (!channels[c]) {
      set_message(message, kMsgBadArguments);
      return 0;
    }
  if (progress) progress(0);
  if (numsamples == 0) {
    if (progress) progress(100);
    return 1;
  }

  // All state of the frame loop lives in this one record, so encoding a frame never allocates.
  const std::unique_ptr<State> st(new (std::nothrow) State);
  if (!st) {
    set_message(message, kMsgNoMemory);
    return 0;
  }
  st->s = s;
  st->alloc_table = &tab::layer2_alloc_table(s.lsf, s.samplerate, s.kbps, s.numchannels);
  st->sblimit = s.layer == 1 ? 32 : st->alloc_table->sblimit;
  mpegenc_psy::init_tables(&st->psy, s.samplerate, s.kbps / s.numchannels);
  st->slot_remainder = 0;
  st->bw = BitWriter{};
  st->bw.sink = sink;

  const int64_t frames = (static_cast<int64_t>(numsamples) + s.framesamples - 1) / s.framesamples;
  int last_percent = 0;
  for (int64_t f = 0; f < frames && !st->bw.failed; ++f) {
    encode_frame(*st, channels, numsamples, f * s.framesamples);
    const int percent = static_cast<int>((f + 1) * 100 / frames);
    if (progress && percent != last_percent) {
      last_percent = percent;
      progress(percent);
    }
  }
  st->bw.flush();
  if (st->bw.failed) {
    set_message(message, kMsgWrite);
    return 0;
  }
  return 1;
}

int mpegenc_encode(int layer, int samplerate, int bitrate, int numchannels, const int16_t* const* channels,
                   int32_t numsamples, const mpegenc_sink* sink, mpegenc_progressfn progress,
                   const char** message) {
  const mpegenc_params p{layer, MPEGENC_VERSION_AUTO, samplerate, bitrate, numchannels};
  return mpegenc_encodeparams(&p, channels, numsamples, sink, progress, message);
}

int mpegenc_vectorwrite(void* context, const uint8_t* data, int32_t n) {
  auto* v = static_cast<std::vector<uint8_t>*>(context);
  if (!v || n < 0) return 0;
  try {
    v->insert(v->end(), data, data + n);
  } catch (...) {
    return 0;
  }
  return 1;
}
