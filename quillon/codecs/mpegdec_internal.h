// Internals shared by the MPEG audio decoder's files: the bounds-checked bit reader, the decoder
// state, the standard tables and the entry points of the layer decoders and of the synthesis.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quillon/codecs/mpegdec.h"

namespace mpegdec {

inline uint64_t bswap64(uint64_t v) {
#if defined(_MSC_VER) && !defined(__clang__)
  return _byteswap_uint64(v);
#else
  return __builtin_bswap64(v);
#endif
}

// The one reader every byte of the stream goes through. Reading past the end yields zero bits and
// leaves the position beyond the limit, which callers test with overrun(); it never touches memory
// outside [data, data + size).
class BitReader {
 public:
  BitReader() = default;
  BitReader(const uint8_t* data, size_t size) : data_(data), size_(size), limit_(size * 8) {}

  // Next n bits (0..24) without consuming them.
  uint32_t peek(int n) const {
    if (n == 0) return 0;
    const size_t byte = pos_ >> 3;
    if (byte + 8 <= size_) {
      uint64_t w;
      std::memcpy(&w, data_ + byte, 8);
      if constexpr (std::endian::native == std::endian::little) w = bswap64(w);
      return static_cast<uint32_t>((w << (pos_ & 7)) >> (64 - n));
    }
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i)
      if (byte + i < size_) w |= uint32_t{data_[byte + i]} << (24 - 8 * i);
    w <<= (pos_ & 7);
    return w >> (32 - n);
  }
  // One bit (sign bits are the most frequent read).
  uint32_t get1() {
    const size_t byte = pos_ >> 3;
    const uint32_t bit = byte < size_ ? (data_[byte] >> (7 - (pos_ & 7))) & 1u : 0u;
    ++pos_;
    return bit;
  }
  void skip(size_t n) { pos_ += n; }
  uint32_t get(int n) {
    uint32_t v = peek(n);
    pos_ += n;
    return v;
  }
  size_t pos() const { return pos_; }
  void seek(size_t bit) { pos_ = bit; }
  size_t limit() const { return limit_; }
  bool overrun() const { return pos_ > limit_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t limit_ = 0;
  size_t pos_ = 0;
};

// A register-held window on a BitReader's bytes for the tight loops (Huffman decoding): the same
// bits, zeros past the end, and the same position arithmetic, but loads happen only in refill().
// After refill() at least 56 bits can be peeked and consumed. Hand the position back with put().
class BitCache {
 public:
  explicit BitCache(const BitReader& br) : data_(br.data()), size_(br.size()), pos_(br.pos()) {
    // Start on the byte boundary below the position, then drop the bits before it.
    next_ = pos_ >> 3;
    refill();
    const int lead = static_cast<int>(pos_ & 7);
    cache_ <<= lead;
    avail_ -= lead;
  }
  // Tops the window up to at least 56 bits.
  void refill() {
    if (next_ + 8 <= size_) {
      uint64_t w;
      std::memcpy(&w, data_ + next_, 8);
      if constexpr (std::endian::native == std::endian::little) w = bswap64(w);
      // Bits loaded beyond the whole bytes counted here are the stream's next bits, so loading them
      // again on the next refill ORs equal values.
      cache_ |= w >> avail_;
      const int add = (63 - avail_) >> 3;
      next_ += add;
      avail_ += add * 8;
      return;
    }
    while (avail_ <= 56) {
      const uint64_t b = next_ < size_ ? data_[next_] : 0;
      cache_ |= b << (56 - avail_);
      ++next_;
      avail_ += 8;
    }
  }
  // Next n bits (1..32).
  uint32_t peek(int n) const { return static_cast<uint32_t>(cache_ >> (64 - n)); }
  void skip(int n) {
    cache_ <<= n;
    avail_ -= n;
    pos_ += static_cast<size_t>(n);
  }
  uint32_t get(int n) {
    const uint32_t v = peek(n);
    skip(n);
    return v;
  }
  uint32_t get1() { return get(1); }
  size_t pos() const { return pos_; }
  void put(BitReader& br) const { br.seek(pos_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_;       // bit position of the window's first bit
  size_t next_ = 0;  // next byte to load
  uint64_t cache_ = 0;
  int avail_ = 0;  // valid bits at the top of cache_
};

// ---- Standard tables (mpegdec_tables.cpp) ----

extern const int16_t kBitrates[2][3][15];  // [mpeg1?0:1][layer-1][index], kbit/s
extern const int kSampleRates[2][3];       // [mpeg1?0:1][index]

// Layer 2 allocation table: per subband the allocation field width and the quantisation class of
// each allocation value (class index into kL2Classes, allocation 0 means no samples).
struct L2AllocTable {
  int sblimit;
  uint8_t nbal[32];
  int8_t cls[32][16];
};
struct L2Class {
  int levels;  // number of quantisation levels
  int bits;    // bits per sample, or per group of three
  bool grouped;
};
extern const L2Class kL2Classes[17];
const L2AllocTable& l2_alloc_table(const MpegHeader& h);

// Layer 3 scale factor band boundaries per sampling rate [mpeg1?0:1][index]: long (23 edges), short
// (14 edges, lines per window).
extern const int16_t kSfbLong[2][3][23];
extern const int16_t kSfbShort[2][3][14];

// Huffman tables as (code, length) in x-major order; size is the table's dimension (16 at most).
struct HuffSource {
  const uint16_t* codes;
  const uint8_t* lengths;
  int size;
};
extern const HuffSource kHuffSources[16];  // by source id; 0 = empty
struct HuffSelect {
  int source;   // index into kHuffSources
  int linbits;  // extra bits for values of 15
};
extern const HuffSelect kHuffSelect[32];  // table_select -> source and linbits
extern const uint16_t kCount1aCodes[16];
extern const uint8_t kCount1aLengths[16];

// ---- Synthesis (mpegdec_synth.cpp, mpegdec_simd.cpp) ----

struct SynthChannel {
  alignas(32) float v[16][64];  // ring of 16 positions of the 64 filter values
  int pos = 0;
};

// Runs `blocks` blocks of 32 subband samples (in[b*32 + sb]) of one channel through the filter bank,
// writing blocks*32 samples to out with the given stride (channel interleave).
using SynthFn = void (*)(SynthChannel& ch, const float* in, int blocks, int16_t* out, int stride);
SynthFn synth_function(MpegSynthPath path);
void synth_plain(SynthChannel& ch, const float* in, int blocks, int16_t* out, int stride);
void synth_sse2(SynthChannel& ch, const float* in, int blocks, int16_t* out, int stride);
void synth_avx2(SynthChannel& ch, const float* in, int blocks, int16_t* out, int stride);
bool cpu_has_sse2();
bool cpu_has_avx2();

// Tables the synthesis paths share, computed once.
struct SynthTables {
  // The 32-point DCT split by output parity: with a[k] = s[k] + s[31-k] and b[k] = s[k] - s[31-k]
  // (k < 16), x[2i] = sum even[k][i] a[k] and x[2i+1] = sum odd[k][i] b[k].
  alignas(32) float even[16][16];
  alignas(32) float odd[16][16];
  alignas(32) float window[16][32];  // [age][j], scaled to 16-bit output
};
const SynthTables& synth_tables();
// Maps the DCT outputs (even and odd halves) into the 64 filter values of one ring position.
inline void synth_expand(const float* xe, const float* xo, float* v) {
  float x[33];
  for (int i = 0; i < 16; ++i) {
    x[2 * i] = xe[i];
    x[2 * i + 1] = xo[i];
  }
  for (int i = 0; i < 16; ++i) v[i] = x[i + 16];
  v[16] = 0.0f;
  for (int i = 17; i < 48; ++i) v[i] = -x[48 - i];
  for (int i = 48; i < 64; ++i) v[i] = -x[i - 48];
}
inline int16_t clip16(float f) {
  // Round to nearest, limit instead of wrapping.
  if (!(f > -32768.5f)) return -32768;  // also catches NaN
  if (f >= 32767.5f) return 32767;
  float r = f + (f >= 0 ? 0.5f : -0.5f);
  return static_cast<int16_t>(static_cast<int>(r));
}

// ---- Layer 3 (mpegdec_layer3.cpp) ----

// The 18 accumulations of the long-block IMDCT, acc[j] = sum over k of cos36[k][j] * x[k] in the
// order k = 0..17, each a product then a sum (never fused), so every path gives the same bits.
using Imdct36Fn = void (*)(const float* x, const float (*cos36)[20], float* acc);
void imdct36_sse2(const float* x, const float (*cos36)[20], float* acc);
void imdct36_avx2(const float* x, const float (*cos36)[20], float* acc);
Imdct36Fn imdct36_function();

struct Layer3State {
  static constexpr int kReservoir = 4096;
  uint8_t ring[kReservoir] = {};
  size_t ring_write = 0;  // total bytes appended (position modulo the ring size)
  size_t ring_fill = 0;   // bytes of continuous earlier main data available (<= kReservoir)
  alignas(16) float overlap[2][576] = {};
  // Scratch of one frame: its main data in one piece and the spectra of both channels.
  uint8_t linear[kReservoir + 2048] = {};
  alignas(16) float xr[2][576] = {};
};

// Bytes of side information after the header (and its CRC) of a Layer 3 frame.
inline size_t layer3_side_info_bytes(const MpegHeader& h) {
  return h.mpeg1 ? (h.channels == 1 ? 17 : 32) : (h.channels == 1 ? 9 : 17);
}

void layer3_reset(Layer3State& st);
// Decodes one Layer 3 frame (body = bytes after the header) into subband samples
// out[ch][block][32]; returns the number of blocks (18 per granule), 0 when the frame is broken.
int layer3_decode(Layer3State& st, const MpegHeader& h, const uint8_t* body, size_t body_size,
                  float (*out)[36][32]);

}  // namespace mpegdec

struct MpegDecoder::State {
  const uint8_t* buf = nullptr;
  size_t len = 0;
  size_t pos = 0;  // byte position of the next frame header
  bool open = false;
  MpegHeader first{};
  mpegdec::SynthFn synth = nullptr;
  mpegdec::SynthChannel synth_ch[2];
  mpegdec::Layer3State l3;
  alignas(32) float sb[2][36][32];
  int16_t pcm[1152 * 2];
  int16_t chan_pcm[2][1152];
  const int16_t* planes[2] = {};  // each output channel of the frame in pcm, one after the other
  size_t pcm_bytes = 0;           // valid bytes in pcm
  size_t pcm_read = 0;            // bytes already delivered
};
