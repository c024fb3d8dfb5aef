// Layer 3 of the MPEG audio decoder: side information, the bit reservoir, scale factors, Huffman
// decoding, requantisation, joint stereo, reordering, alias reduction and the hybrid filter bank.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "quillon/codecs/mpegdec_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mpegdec {

namespace {

constexpr int kLines = 576;

struct GranuleChannel {
  int part2_3_length = 0;
  int big_values = 0;
  int global_gain = 0;
  int scalefac_compress = 0;
  bool window_switching = false;
  int block_type = 0;
  bool mixed = false;
  int table_select[3] = {};
  int subblock_gain[3] = {};
  int region0_count = 0;
  int region1_count = 0;
  int preflag = 0;
  int scalefac_scale = 0;
  int count1_table = 0;
  bool short_blocks() const { return window_switching && block_type == 2; }
};

struct SideInfo {
  int main_data_begin = 0;
  int scfsi[2][4] = {};
  GranuleChannel gr[2][2];
};

struct ScaleFactors {
  int l[22] = {};
  int s[13][3] = {};
  // Largest value each field can hold: that value marks a band as not intensity coded (MPEG-2).
  int l_max[22] = {};
  int s_max[13][3] = {};
};

// ---- Huffman decoding tables, built once from the code lists ----

// Entry: leaf = symbol | bits to consume << 8; node = 0x80000000 | sub-table bits << 24 | offset.
struct HuffLut {
  std::vector<uint32_t> entries;
  int root_bits = 0;
};

struct Code {
  uint32_t code;
  int len;
  int sym;
};

int build_level(std::vector<uint32_t>& e, const std::vector<Code>& codes, int prefix, int bits) {
  const int off = static_cast<int>(e.size());
  e.resize(e.size() + (size_t{1} << bits), 1u << 8);  // unreachable for complete codes
  std::vector<std::vector<Code>> groups(size_t{1} << bits);
  for (const Code& c : codes) {
    const int rest = c.len - prefix;
    const uint32_t value = c.code & ((1u << rest) - 1);
    if (rest <= bits) {
      const uint32_t first = value << (bits - rest);
      for (uint32_t k = 0; k < (1u << (bits - rest)); ++k)
        e[off + first + k] = static_cast<uint32_t>(c.sym) | (static_cast<uint32_t>(rest) << 8);
    } else {
      groups[value >> (rest - bits)].push_back(c);
    }
  }
  for (size_t g = 0; g < groups.size(); ++g) {
    if (groups[g].empty()) continue;
    int maxlen = 0;
    for (const Code& c : groups[g]) maxlen = std::max(maxlen, c.len);
    const int sub = std::min(maxlen - prefix - bits, 8);
    const int child = build_level(e, groups[g], prefix + bits, sub);
    e[off + g] = 0x80000000u | (static_cast<uint32_t>(sub) << 24) | static_cast<uint32_t>(child);
  }
  return off;
}

HuffLut build_lut(const uint16_t* codes, const uint8_t* lengths, int count) {
  std::vector<Code> list;
  int maxlen = 0;
  for (int i = 0; i < count; ++i) {
    list.push_back({codes[i], lengths[i], i});
    maxlen = std::max(maxlen, int{lengths[i]});
  }
  HuffLut lut;
  lut.root_bits = std::min(maxlen, 8);
  build_level(lut.entries, list, 0, lut.root_bits);
  return lut;
}

struct HuffTables {
  HuffLut pair[16];
  HuffLut count1a;
};

const HuffTables& huff_tables() {
  static const HuffTables t = [] {
    HuffTables r;
    for (int i = 1; i < 16; ++i) {
      const HuffSource& s = kHuffSources[i];
      // Symbols are x << 4 | y whatever the table's dimension.
      std::vector<uint16_t> codes(256, 0);
      std::vector<uint8_t> lens(256, 0);
      std::vector<Code> list;
      for (int x = 0; x < s.size; ++x)
        for (int y = 0; y < s.size; ++y)
          list.push_back({s.codes[x * s.size + y], s.lengths[x * s.size + y], x << 4 | y});
      int maxlen = 0;
      for (const Code& c : list) maxlen = std::max(maxlen, c.len);
      r.pair[i].root_bits = std::min(maxlen, 10);
      build_level(r.pair[i].entries, list, 0, r.pair[i].root_bits);
    }
    r.count1a = build_lut(kCount1aCodes, kCount1aLengths, 16);
    return r;
  }();
  return t;
}

inline int huff_decode(const HuffLut& lut, BitCache& br) {
  const uint32_t* e = lut.entries.data();
  uint32_t v = e[br.peek(lut.root_bits)];
  int bits = lut.root_bits;
  while (v & 0x80000000u) {
    br.skip(bits);
    bits = (v >> 24) & 31;
    v = e[(v & 0xFFFFFF) + br.peek(bits)];
  }
  br.skip((v >> 8) & 31);
  return static_cast<int>(v & 0xFF);
}

// |x|^(4/3) for every magnitude a Huffman value with 13 linbits can have.
constexpr int kPowMax = 15 + (1 << 13);
const float* pow43() {
  static const std::vector<float> t = [] {
    std::vector<float> r(kPowMax);
    for (int i = 0; i < kPowMax; ++i) r[i] = static_cast<float>(std::pow(static_cast<double>(i), 4.0 / 3.0));
    return r;
  }();
  return t.data();
}

// Windows and cosine tables of the hybrid filter bank.
struct HybridTables {
  float win[4][36];  // by block type (2 unused here)
  // Long IMDCT: the 36 outputs are odd-symmetric in the first half and even-symmetric in the
  // second, so 18 are computed: [k][j], j < 9 for outputs 0..8, j >= 9 for outputs 18..26. Rows are
  // padded to 20 so that the accumulation runs in whole vectors.
  alignas(16) float cos36[18][20];
  float win12[12];
  float cos12[12][6];  // short IMDCT
  float cs[8], ca[8];  // alias reduction butterflies
};

const HybridTables& hybrid_tables() {
  static const HybridTables t = [] {
    HybridTables r{};
    const double pi = std::numbers::pi;
    for (int i = 0; i < 36; ++i) {
      const double s36 = std::sin(pi / 36 * (i + 0.5));
      r.win[0][i] = static_cast<float>(s36);
      r.win[1][i] = static_cast<float>(i < 18   ? s36
                                       : i < 24 ? 1.0
                                       : i < 30 ? std::sin(pi / 12 * (i - 18 + 0.5))
                                                : 0.0);
      r.win[3][i] = static_cast<float>(i < 6    ? 0.0
                                       : i < 12 ? std::sin(pi / 12 * (i - 6 + 0.5))
                                       : i < 18 ? 1.0
                                                : s36);
      r.win[2][i] = r.win[0][i];
    }
    for (int j = 0; j < 18; ++j) {
      const int i = j < 9 ? j : j + 9;
      for (int k = 0; k < 18; ++k)
        r.cos36[k][j] = static_cast<float>(std::cos(pi / 72 * (2 * i + 1 + 18) * (2 * k + 1)));
    }
    for (int i = 0; i < 12; ++i) {
      r.win12[i] = static_cast<float>(std::sin(pi / 12 * (i + 0.5)));
      for (int k = 0; k < 6; ++k)
        r.cos12[i][k] = static_cast<float>(std::cos(pi / 24 * (2 * i + 1 + 6) * (2 * k + 1)));
    }
    const double c[8] = {-0.6, -0.535, -0.33, -0.185, -0.095, -0.041, -0.0142, -0.0037};
    for (int i = 0; i < 8; ++i) {
      const double d = std::sqrt(1.0 + c[i] * c[i]);
      r.cs[i] = static_cast<float>(1.0 / d);
      r.ca[i] = static_cast<float>(c[i] / d);
    }
    return r;
  }();
  return t;
}

constexpr int kPretab[22] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3, 3, 3, 2, 0};
constexpr int kSlen[2][16] = {{0, 0, 0, 0, 3, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4},
                              {0, 1, 2, 3, 0, 1, 2, 3, 1, 2, 3, 1, 2, 3, 2, 3}};
// Lower sampling rates: scale factor counts per partition [table][long, short, mixed][partition].
constexpr int kLsfCounts[6][3][4] = {
    {{6, 5, 5, 5}, {9, 9, 9, 9}, {6, 9, 9, 9}},       {{6, 5, 7, 3}, {9, 9, 12, 6}, {6, 9, 12, 6}},
    {{11, 10, 0, 0}, {18, 18, 0, 0}, {15, 18, 0, 0}}, {{7, 7, 7, 0}, {12, 12, 12, 0}, {6, 15, 12, 0}},
    {{6, 6, 6, 3}, {12, 9, 9, 6}, {6, 12, 9, 6}},     {{8, 8, 5, 0}, {15, 12, 9, 0}, {6, 18, 9, 0}},
};

bool read_side_info(BitReader& br, const MpegHeader& h, SideInfo& si) {
  const int nch = h.channels;
  if (h.mpeg1) {
    si.main_data_begin = static_cast<int>(br.get(9));
    br.skip(nch == 1 ? 5 : 3);
    for (int ch = 0; ch < nch; ++ch)
      for (int b = 0; b < 4; ++b) si.scfsi[ch][b] = static_cast<int>(br.get(1));
  } else {
    si.main_data_begin = static_cast<int>(br.get(8));
    br.skip(nch == 1 ? 1 : 2);
  }
  const int ngr = h.mpeg1 ? 2 : 1;
  for (int gr = 0; gr < ngr; ++gr) {
    for (int ch = 0; ch < nch; ++ch) {
      GranuleChannel& g = si.gr[gr][ch];
      g.part2_3_length = static_cast<int>(br.get(12));
      // More than 288 pairs cannot fit in a granule; the Huffman decoder is bounded anyway.
      g.big_values = std::min(static_cast<int>(br.get(9)), kLines / 2);
      g.global_gain = static_cast<int>(br.get(8));
      g.scalefac_compress = static_cast<int>(br.get(h.mpeg1 ? 4 : 9));
      g.window_switching = br.get(1) != 0;
      if (g.window_switching) {
        g.block_type = static_cast<int>(br.get(2));
        g.mixed = br.get(1) != 0;
        g.table_select[0] = static_cast<int>(br.get(5));
        g.table_select[1] = static_cast<int>(br.get(5));
        g.table_select[2] = 0;
        for (int& s : g.subblock_gain) s = static_cast<int>(br.get(3));
        g.region0_count = 0;
        g.region1_count = 0;
      } else {
        g.block_type = 0;
        g.mixed = false;
        for (int& t : g.table_select) t = static_cast<int>(br.get(5));
        for (int& s : g.subblock_gain) s = 0;
        g.region0_count = static_cast<int>(br.get(4));
        g.region1_count = static_cast<int>(br.get(3));
      }
      g.preflag = h.mpeg1 ? static_cast<int>(br.get(1)) : 0;
      g.scalefac_scale = static_cast<int>(br.get(1));
      g.count1_table = static_cast<int>(br.get(1));
    }
  }
  return !br.overrun();
}

void read_scalefactors_mpeg1(BitReader& br, const GranuleChannel& g, const int* scfsi, int gr,
                             ScaleFactors& sf) {
  const int slen1 = kSlen[0][g.scalefac_compress];
  const int slen2 = kSlen[1][g.scalefac_compress];
  if (g.short_blocks()) {
    int first_short = 0;
    if (g.mixed) {
      for (int sfb = 0; sfb < 8; ++sfb) sf.l[sfb] = static_cast<int>(br.get(slen1));
      first_short = 3;
    }
    for (int sfb = first_short; sfb < 12; ++sfb)
      for (int w = 0; w < 3; ++w) sf.s[sfb][w] = static_cast<int>(br.get(sfb < 6 ? slen1 : slen2));
    for (int w = 0; w < 3; ++w) sf.s[12][w] = 0;
  } else {
    static constexpr int kGroup[5] = {0, 6, 11, 16, 21};
    for (int grp = 0; grp < 4; ++grp) {
      if (gr == 1 && scfsi[grp]) continue;  // shared with the first granule
      for (int sfb = kGroup[grp]; sfb < kGroup[grp + 1]; ++sfb)
        sf.l[sfb] = static_cast<int>(br.get(grp < 2 ? slen1 : slen2));
    }
    sf.l[21] = 0;
  }
  for (int& m : sf.l_max) m = 7;
  for (auto& row : sf.s_max)
    for (int& m : row) m = 7;
}

void read_scalefactors_lsf(BitReader& br, GranuleChannel& g, bool intensity_right, ScaleFactors& sf) {
  int slen[4] = {};
  int table;
  int sfc = g.scalefac_compress;
  if (intensity_right) {
    sfc >>= 1;
    if (sfc < 180) {
      slen[0] = sfc / 36;
      slen[1] = (sfc % 36) / 6;
      slen[2] = sfc % 6;
      table = 3;
    } else if (sfc < 244) {
      sfc -= 180;
      slen[0] = (sfc % 64) >> 4;
      slen[1] = (sfc % 16) >> 2;
      slen[2] = sfc % 4;
      table = 4;
    } else {
      sfc -= 244;
      slen[0] = sfc / 3;
      slen[1] = sfc % 3;
      table = 5;
    }
    g.preflag = 0;
  } else if (sfc < 400) {
    slen[0] = (sfc >> 4) / 5;
    slen[1] = (sfc >> 4) % 5;
    slen[2] = (sfc % 16) >> 2;
    slen[3] = sfc % 4;
    table = 0;
    g.preflag = 0;
  } else if (sfc < 500) {
    sfc -= 400;
    slen[0] = (sfc >> 2) / 5;
    slen[1] = (sfc >> 2) % 5;
    slen[2] = sfc % 4;
    table = 1;
    g.preflag = 0;
  } else {
    sfc -= 500;
    slen[0] = sfc / 3;
    slen[1] = sfc % 3;
    table = 2;
    g.preflag = 1;
  }
  const int kind = g.short_blocks() ? (g.mixed ? 2 : 1) : 0;
  // Flatten the partitions into one list of (value, width) and distribute it over the bands.
  int values[40] = {};
  int widths[40] = {};
  int n = 0;
  for (int p = 0; p < 4; ++p) {
    for (int i = 0; i < kLsfCounts[table][kind][p] && n < 40; ++i) {
      widths[n] = slen[p];
      values[n] = static_cast<int>(br.get(slen[p]));
      ++n;
    }
  }
  int k = 0;
  auto take = [&](int& v, int& max) {
    if (k < n) {
      v = values[k];
      max = (1 << widths[k]) - 1;
      ++k;
    } else {
      v = 0;
      max = 0;
    }
  };
  if (kind == 0) {
    for (int sfb = 0; sfb < 21; ++sfb) take(sf.l[sfb], sf.l_max[sfb]);
    sf.l[21] = 0;
    sf.l_max[21] = sf.l_max[20];
  } else {
    int first_short = 0;
    if (kind == 2) {
      for (int sfb = 0; sfb < 6; ++sfb) take(sf.l[sfb], sf.l_max[sfb]);
      first_short = 3;
    }
    for (int sfb = first_short; sfb < 12; ++sfb)
      for (int w = 0; w < 3; ++w) take(sf.s[sfb][w], sf.s_max[sfb][w]);
    for (int w = 0; w < 3; ++w) {
      sf.s[12][w] = 0;
      sf.s_max[12][w] = sf.s_max[11][w];
    }
  }
}

inline float band_gain(int quarter_steps) {
  return std::exp2(0.25f * static_cast<float>(quarter_steps));
}

// Requantisation gains of the granule's bands in Huffman order (short bands: band, window, line):
// band k covers the lines below ends[k]. Returns the number of bands; the last ends at 576.
int band_gains(const GranuleChannel& g, const ScaleFactors& sf, const int16_t* sfbl, const int16_t* sfbs,
               int* ends, float* gains) {
  const int shift = g.scalefac_scale ? 4 : 2;
  const int base = g.global_gain - 210;
  int n = 0;
  if (!g.short_blocks()) {
    for (int sfb = 0; sfb < 22; ++sfb, ++n) {
      ends[n] = sfbl[sfb + 1];
      gains[n] = band_gain(base - shift * (sf.l[sfb] + g.preflag * kPretab[sfb]));
    }
    return n;
  }
  int first_short = 0;
  if (g.mixed) {
    for (int sfb = 0; sfbl[sfb] < 36; ++sfb, ++n) {
      ends[n] = sfbl[sfb + 1];
      gains[n] = band_gain(base - shift * (sf.l[sfb] + g.preflag * kPretab[sfb]));
    }
    first_short = 3;
  }
  for (int sfb = first_short; sfb < 13; ++sfb) {
    const int width = sfbs[sfb + 1] - sfbs[sfb];
    for (int w = 0; w < 3; ++w, ++n) {
      ends[n] = 3 * sfbs[sfb] + (w + 1) * width;
      gains[n] = band_gain(base - 8 * g.subblock_gain[w] - shift * sf.s[sfb][w]);
    }
  }
  return n;
}

// The sign bit that follows a nonzero value, as a float sign mask (0 for a zero value, which has
// none). Branch-free: signs are as good as random.
inline uint32_t take_sign(BitCache& br, int value) {
  const int n = value != 0;
  const uint32_t s = br.peek(1) & static_cast<uint32_t>(n);
  br.skip(n);
  return s << 31;
}
inline float with_sign(float f, uint32_t sign) {
  return std::bit_cast<float>(std::bit_cast<uint32_t>(f) ^ sign);
}

// Huffman-decodes one granule of one channel and requantises it into xr[576] (Huffman order);
// returns one past the last line that may be nonzero. Decoding never goes past 576 values or the
// end of the channel's part, whatever big_values and the region counts claim.
int huffman_decode(BitReader& reader, size_t end, const GranuleChannel& g, const int16_t* sfbl,
                   const int* ends, const float* gains, float* xr) {
  const HuffTables& ht = huff_tables();
  // A pair takes at most 19 code bits and two values of 13 linbits with their signs (47 bits), a
  // quadruple at most 10: one refill per pair or quadruple.
  BitCache br(reader);
  const float* p43 = pow43();
  const int big = std::min(g.big_values * 2, kLines);
  int r1, r2;
  if (g.window_switching) {
    // Short blocks: three short bands per window; start and stop blocks: region0_count 7.
    r1 = g.block_type == 2 ? 36 : sfbl[8];
    r2 = kLines;
  } else {
    r1 = sfbl[std::min(g.region0_count + 1, 22)];
    r2 = sfbl[std::min(g.region0_count + g.region1_count + 2, 22)];
  }
  r1 = std::min(r1, big);
  r2 = std::clamp(r2, r1, big);
  int i = 0;
  int band = 0;
  const int bounds[3] = {r1, r2, big};
  for (int region = 0; region < 3; ++region) {
    const HuffSelect sel = kHuffSelect[g.table_select[region]];
    const int stop = bounds[region];
    if (sel.source == 0) {
      for (; i < stop; ++i) xr[i] = 0.0f;
      continue;
    }
    const HuffLut& lut = ht.pair[sel.source];
    for (; i < stop; i += 2) {
      if (br.pos() > end) {
        // Side information claims more than the part holds.
        for (; i < stop; ++i) xr[i] = 0.0f;
        break;
      }
      br.refill();
      // Band edges are even, so a pair never straddles one.
      while (ends[band] <= i) ++band;
      const float gain = gains[band];
      const int sym = huff_decode(lut, br);
      int x = sym >> 4, y = sym & 15;
      if (x == 15 && sel.linbits) x += static_cast<int>(br.get(sel.linbits));
      const uint32_t sx = take_sign(br, x);
      if (y == 15 && sel.linbits) y += static_cast<int>(br.get(sel.linbits));
      const uint32_t sy = take_sign(br, y);
      xr[i] = with_sign(p43[x] * gain, sx);
      xr[i + 1] = with_sign(p43[y] * gain, sy);
    }
  }
  // Count1 region: quadruples until the part ends; a quadruple that runs past the end is dropped.
  const HuffLut& quad = ht.count1a;
  while (i < kLines && br.pos() < end) {
    br.refill();
    int sym;
    if (g.count1_table)
      sym = static_cast<int>(br.get(4)) ^ 15;
    else
      sym = huff_decode(quad, br);
    float v[4] = {};
    for (int k = 0; k < 4; ++k) {
      if (!((sym >> (3 - k)) & 1)) continue;
      // Values past line 575 are dropped below; their band does not matter.
      const int line = std::min(i + k, kLines - 1);
      while (ends[band] <= line) ++band;
      v[k] = with_sign(gains[band], br.get1() << 31);
    }
    if (br.pos() > end) break;
    for (int k = 0; k < 4 && i < kLines; ++k) xr[i++] = v[k];
  }
  br.put(reader);
  const int limit = i;
  for (; i < kLines; ++i) xr[i] = 0.0f;
  return limit;
}

// Intensity factors (left, right) for a band, or false when the band is not intensity coded.
bool intensity_factors(const MpegHeader& h, int pos, int max, int scale, float& kl, float& kr) {
  if (h.mpeg1) {
    if (pos >= 7) return false;
    const double a = pos * std::numbers::pi / 12;
    const double s = std::sin(a), c = std::cos(a);
    kl = static_cast<float>(s / (s + c));
    kr = static_cast<float>(c / (s + c));
    return true;
  }
  if (pos == max) return false;
  const double io = scale ? std::sqrt(0.5) : std::pow(2.0, -0.25);
  kl = kr = 1.0f;
  if (pos & 1)
    kl = static_cast<float>(std::pow(io, (pos + 1) / 2));
  else if (pos)
    kr = static_cast<float>(std::pow(io, pos / 2));
  return true;
}

void stereo(const MpegHeader& h, const GranuleChannel& g1, const ScaleFactors& sf1, const int* count,
            const int16_t* sfbl, const int16_t* sfbs, float* l, float* r) {
  const bool ms = (h.mode_extension & 2) != 0;
  const bool is_on = (h.mode_extension & 1) != 0;
  // done[i]: line i is intensity coded (then l/r come from the left values only).
  bool done[kLines] = {};
  if (is_on) {
    const int scale = g1.scalefac_compress & 1;
    auto apply_is = [&](int from, int to, int pos, int max) {
      float kl, kr;
      if (!intensity_factors(h, pos, max, scale, kl, kr)) return;
      for (int i = from; i < to; ++i) {
        const float x = l[i];
        l[i] = x * kl;
        r[i] = x * kr;
        done[i] = true;
      }
    };
    if (!g1.short_blocks()) {
      // Intensity coding starts with the band after the one holding the right channel's last
      // nonzero value.
      int last = -1;
      for (int i = count[1] - 1; i >= 0; --i)
        if (r[i] != 0.0f) {
          last = i;
          break;
        }
      int sfb = 0;
      while (sfb < 22 && sfbl[sfb] <= last) ++sfb;
      for (; sfb < 22; ++sfb) {
        const int b = std::min(sfb, 20);
        apply_is(sfbl[sfb], sfbl[sfb + 1], sf1.l[sfb == 21 ? 20 : sfb], sf1.l_max[b]);
      }
    } else {
      const int first_short = g1.mixed ? 3 : 0;
      bool short_nonzero = false;
      for (int w = 0; w < 3; ++w) {
        int last = -1;  // last short band of this window with a nonzero right value
        for (int sfb = first_short; sfb < 13; ++sfb) {
          const int width = sfbs[sfb + 1] - sfbs[sfb];
          const int from = 3 * sfbs[sfb] + w * width;
          for (int i = from; i < from + width; ++i)
            if (r[i] != 0.0f) {
              last = sfb;
              break;
            }
        }
        if (last >= 0) short_nonzero = true;
        for (int sfb = std::max(last + 1, first_short); sfb < 13; ++sfb) {
          const int width = sfbs[sfb + 1] - sfbs[sfb];
          const int from = 3 * sfbs[sfb] + w * width;
          const int b = std::min(sfb, 11);
          apply_is(from, from + width, sf1.s[b][w], sf1.s_max[b][w]);
        }
      }
      if (g1.mixed && !short_nonzero) {
        int last = -1;
        for (int sfb = 0; sfbl[sfb] < 36; ++sfb)
          for (int i = sfbl[sfb]; i < sfbl[sfb + 1]; ++i)
            if (r[i] != 0.0f) last = sfb;
        for (int sfb = last + 1; sfbl[sfb] < 36; ++sfb)
          apply_is(sfbl[sfb], sfbl[sfb + 1], sf1.l[sfb], sf1.l_max[sfb]);
      }
    }
  }
  if (ms) {
    const float k = static_cast<float>(std::numbers::sqrt2 / 2);
    const int n = std::max(count[0], count[1]);
    if (!is_on) {
      for (int i = 0; i < n; ++i) {
        const float m = l[i], s = r[i];
        l[i] = (m + s) * k;
        r[i] = (m - s) * k;
      }
      return;
    }
    for (int i = 0; i < n; ++i) {
      if (done[i]) continue;
      const float m = l[i], s = r[i];
      l[i] = (m + s) * k;
      r[i] = (m - s) * k;
    }
  }
}

// Reorders the short bands from (band, window, line) into (subband, window, 6 lines).
void reorder(const GranuleChannel& g, const int16_t* sfbs, float* xr) {
  float tmp[kLines];
  const int first_short = g.mixed ? 3 : 0;
  const int start = 3 * sfbs[first_short];
  std::copy(xr + start, xr + kLines, tmp + start);
  for (int sfb = first_short; sfb < 13; ++sfb) {
    const int width = sfbs[sfb + 1] - sfbs[sfb];
    for (int w = 0; w < 3; ++w) {
      const float* src = tmp + 3 * sfbs[sfb] + w * width;
      for (int i = 0; i < width; ++i) {
        const int f = sfbs[sfb] + i;
        xr[(f / 6) * 18 + w * 6 + f % 6] = src[i];
      }
    }
  }
}

void alias_reduce(const GranuleChannel& g, float* xr) {
  if (g.short_blocks() && !g.mixed) return;
  const HybridTables& t = hybrid_tables();
  const int bounds = g.short_blocks() ? 1 : 31;
  for (int sb = 1; sb <= bounds; ++sb) {
    float* a = xr + 18 * sb;
    for (int i = 0; i < 8; ++i) {
      const float lo = a[-1 - i], hi = a[i];
      a[-1 - i] = lo * t.cs[i] - hi * t.ca[i];
      a[i] = hi * t.cs[i] + lo * t.ca[i];
    }
  }
}

// IMDCT, windowing and overlap-add of every subband; writes 18 blocks of 32 subband samples,
// negating odd samples of odd subbands.
void hybrid(const GranuleChannel& g, const float* xr, float* overlap, float (*out)[32]) {
  const HybridTables& t = hybrid_tables();
  static const Imdct36Fn imdct = imdct36_function();
  for (int sb = 0; sb < 32; ++sb) {
    const float* x = xr + 18 * sb;
    float* ov = overlap + 18 * sb;
    float res[18];
    bool zero = true;
    for (int k = 0; k < 18; ++k)
      if (x[k] != 0.0f) {
        zero = false;
        break;
      }
    if (zero) {
      for (int i = 0; i < 18; ++i) {
        res[i] = ov[i];
        ov[i] = 0.0f;
      }
    } else if (!g.short_blocks() || (g.mixed && sb < 2)) {
      const int bt = g.window_switching && !(g.mixed && sb < 2) ? g.block_type : 0;
      const float* win = t.win[bt];
      alignas(32) float acc[20];
      imdct(x, t.cos36, acc);
      float y[36];
      for (int i = 0; i < 9; ++i) {
        y[i] = acc[i] * win[i];
        y[17 - i] = -acc[i] * win[17 - i];
        y[18 + i] = acc[9 + i] * win[18 + i];
        y[35 - i] = acc[9 + i] * win[35 - i];
      }
      for (int i = 0; i < 18; ++i) {
        res[i] = y[i] + ov[i];
        ov[i] = y[i + 18];
      }
    } else {
      float z[36] = {};
      for (int w = 0; w < 3; ++w) {
        const float* xs = x + 6 * w;
        for (int i = 0; i < 12; ++i) {
          float acc = 0.0f;
          for (int k = 0; k < 6; ++k) acc += t.cos12[i][k] * xs[k];
          z[6 + 6 * w + i] += acc * t.win12[i];
        }
      }
      for (int i = 0; i < 18; ++i) {
        res[i] = z[i] + ov[i];
        ov[i] = z[i + 18];
      }
    }
    if (sb & 1) {
      for (int i = 0; i < 18; i += 2) {
        out[i][sb] = res[i];
        out[i + 1][sb] = -res[i + 1];
      }
    } else {
      for (int i = 0; i < 18; ++i) out[i][sb] = res[i];
    }
  }
}

// The reservoir ring: the last `n` bytes appended, and appending (only the last 4096 bytes of a
// long append can stay).
void ring_copy_out(const Layer3State& st, size_t n, uint8_t* out) {
  constexpr size_t kSize = Layer3State::kReservoir;
  const size_t from = (st.ring_write - n) & (kSize - 1);
  const size_t first = std::min(n, kSize - from);
  std::memcpy(out, st.ring + from, first);
  std::memcpy(out + first, st.ring, n - first);
}

void ring_append(Layer3State& st, const uint8_t* data, size_t n) {
  constexpr size_t kSize = Layer3State::kReservoir;
  const size_t keep = std::min(n, kSize);
  const size_t skipped = n - keep;
  const size_t at = (st.ring_write + skipped) & (kSize - 1);
  const size_t first = std::min(keep, kSize - at);
  std::memcpy(st.ring + at, data + skipped, first);
  std::memcpy(st.ring, data + skipped + first, keep - first);
  st.ring_write += n;
}

}  // namespace

void imdct36_sse2(const float* x, const float (*cos36)[20], float* acc) {
#if defined(__SSE2__)
  // SSE2 is part of the x86-64 baseline; the accumulators stay in registers.
  __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, a4 = a0;
  for (int k = 0; k < 18; ++k) {
    const __m128 xk = _mm_set1_ps(x[k]);
    const float* c = cos36[k];
    a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_load_ps(c), xk));
    a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_load_ps(c + 4), xk));
    a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_load_ps(c + 8), xk));
    a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_load_ps(c + 12), xk));
    a4 = _mm_add_ps(a4, _mm_mul_ps(_mm_load_ps(c + 16), xk));
  }
  _mm_store_ps(acc, a0);
  _mm_store_ps(acc + 4, a1);
  _mm_store_ps(acc + 8, a2);
  _mm_store_ps(acc + 12, a3);
  _mm_store_ps(acc + 16, a4);
#else
  for (int j = 0; j < 20; ++j) acc[j] = 0.0f;
  for (int k = 0; k < 18; ++k) {
    const float xk = x[k];
    for (int j = 0; j < 20; ++j) acc[j] += cos36[k][j] * xk;
  }
#endif
}

Imdct36Fn imdct36_function() {
#if defined(__x86_64__) || defined(__i386__)
  if (cpu_has_avx2()) return imdct36_avx2;
#endif
  return imdct36_sse2;
}

void layer3_reset(Layer3State& st) {
  st.ring_write = 0;
  st.ring_fill = 0;
  for (auto& o : st.overlap) std::fill(std::begin(o), std::end(o), 0.0f);
}

int layer3_decode(Layer3State& st, const MpegHeader& h, const uint8_t* body, size_t body_size,
                  float (*out)[36][32]) {
  const int nch = h.channels;
  const size_t si_len = layer3_side_info_bytes(h);
  if (body_size < si_len) return 0;
  SideInfo si;
  BitReader sbr(body, si_len);
  if (!read_side_info(sbr, h, si)) return 0;
  const uint8_t* md = body + si_len;
  const size_t md_len = body_size - si_len;

  // Gather this frame's main data: main_data_begin bytes from the reservoir, then the frame's own.
  // When the reservoir does not hold them (a cut stream), the frame is decoded as silence.
  const bool have = static_cast<size_t>(si.main_data_begin) <= st.ring_fill;
  uint8_t* linear = st.linear;
  size_t lin_len = 0;
  if (have) {
    const size_t begin = si.main_data_begin;
    ring_copy_out(st, begin, linear);
    const size_t own = std::min(md_len, sizeof st.linear - begin);
    std::memcpy(linear + begin, md, own);
    lin_len = begin + own;
  }
  ring_append(st, md, md_len);
  st.ring_fill = std::min<size_t>(st.ring_fill + md_len, Layer3State::kReservoir);

  const int v = h.mpeg1 ? 0 : 1;
  const int16_t* sfbl = kSfbLong[v][h.samplerate_index];
  const int16_t* sfbs = kSfbShort[v][h.samplerate_index];
  const int ngr = h.mpeg1 ? 2 : 1;
  BitReader br(linear, lin_len);
  ScaleFactors sf[2];
  float(*xr)[kLines] = st.xr;
  for (int gr = 0; gr < ngr; ++gr) {
    int count[2] = {0, 0};
    for (int ch = 0; ch < nch; ++ch) {
      GranuleChannel& g = si.gr[gr][ch];
      if (!have) {
        std::fill(xr[ch], xr[ch] + kLines, 0.0f);
        continue;
      }
      const size_t part_start = br.pos();
      const size_t end = std::min(part_start + static_cast<size_t>(g.part2_3_length), br.limit());
      if (h.mpeg1)
        read_scalefactors_mpeg1(br, g, si.scfsi[ch], gr, sf[ch]);
      else
        read_scalefactors_lsf(br, g, ch == 1 && h.mode == 1 && (h.mode_extension & 1), sf[ch]);
      int ends[40];
      float gains[40];
      band_gains(g, sf[ch], sfbl, sfbs, ends, gains);
      count[ch] = huffman_decode(br, end, g, sfbl, ends, gains, xr[ch]);
      br.seek(part_start + static_cast<size_t>(g.part2_3_length));
    }
    if (have && nch == 2 && h.mode == 1) {
      stereo(h, si.gr[gr][1], sf[1], count, sfbl, sfbs, xr[0], xr[1]);
    }
    for (int ch = 0; ch < nch; ++ch) {
      const GranuleChannel& g = si.gr[gr][ch];
      if (g.short_blocks()) reorder(g, sfbs, xr[ch]);
      alias_reduce(g, xr[ch]);
      hybrid(g, xr[ch], st.overlap[ch], out[ch] + 18 * gr);
    }
  }
  return 18 * ngr;
}

}  // namespace mpegdec
