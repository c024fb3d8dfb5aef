// Compressed streams: header recognition, the three decoders, the LZ77 compressor with its
// match index, the literal-only wrapper and the two file commands.
#include "braxel/archive/compress.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "braxel/cli/console/console.h"

namespace {

// ---- on-disk facts ---------------------------------------------------------------------------

// LZ77 command bytes (first byte of a command).
constexpr std::uint8_t kCmdShortMax = 0x7F;    // 00-7F: 2-byte copy, offset 1..1024, length 3..10
constexpr std::uint8_t kCmdMediumMax = 0xBF;   // 80-BF: 3-byte copy, offset 1..16384, length 4..67
constexpr std::uint8_t kCmdLongMax = 0xDF;     // C0-DF: 4-byte copy, offset 1..131072, length 5..1028
constexpr std::uint8_t kCmdLiteralMax = 0xFB;  // E0-FB: 4..112 literals
constexpr std::uint8_t kCmdLiteral = 0xE0;
constexpr std::uint8_t kCmdStop = 0xFC;  // FC-FF: 0..3 literals, then the end
constexpr int kMaxLiteralRun = 112;

constexpr int kWindow = 131072;
constexpr int kMaxMatch = 1028;
constexpr int kMaxRun = 65533;  // a run entry grows while its count is at most this
constexpr int kBlockEntries = 32;
// The decoder's output block has this many spare bytes past the declared size.
constexpr int kOutputSlack = 32;
// One LZ77 input byte expands to at most (1028 + 3) / 4 output bytes (a 4-byte copy command).
constexpr std::int64_t kMaxLz77Expansion = 258;

// Huffman variant: code lengths are at most 16 bits.
constexpr int kMaxCodeLength = 16;
// Byte-pair variant: an acyclic table nests at most 256 deep; a deeper stack means a cycle.
constexpr int kMaxPairStack = 300;

std::uint32_t read_be24(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 16) | (p[1] << 8) | p[2];
}

// Offset of the first data byte: types with bit 0 set carry three more header bytes.
std::size_t data_start(std::uint8_t type) {
  return (type & 1) ? kStreamHeaderSize + 3 : kStreamHeaderSize;
}

// ---- bit reader of the Huffman variant ------------------------------------------------------

// Reads most significant bit first (the stream is a series of 16-bit big-endian words, which is
// the same order); past the end it gives zero bits and remembers that it ran out.
class BitReader {
 public:
  BitReader(const std::uint8_t* data, std::size_t size) : data_(data), size_bits_(size * 8) {}
  bool overrun() const { return overrun_; }
  std::uint32_t bit() {
    if (pos_ >= size_bits_) {
      overrun_ = true;
      return 0;
    }
    std::uint32_t b = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u;
    ++pos_;
    return b;
  }
  std::uint32_t bits(int count) {
    std::uint32_t v = 0;
    for (int i = 0; i < count; ++i) v = (v << 1) | bit();
    return v;
  }
  // The variable-length number: 1xx gives 0..3; k zero bits, a one and k + 2 bits give
  // 2^(k+2) + v - 4. Sets bad for a number too long to be meaningful.
  std::uint32_t number(bool& bad) {
    if (bit() != 0) return bits(2);
    int k = 1;
    while (bit() == 0) {
      if (++k > 26 || overrun_) {
        bad = true;
        return 0;
      }
    }
    return (1u << (k + 2)) + bits(k + 2) - 4;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_bits_;
  std::size_t pos_ = 0;
  bool overrun_ = false;
};

// ---- match index of the compressor -----------------------------------------------------------

// The candidates of a search are the first positions of the runs of the two-byte table: a
// position whose two bytes continue the newest run of its slot (run count at most the cap)
// only lengthens that run. Since every position is inserted, in order, that run is always the
// one of the previous position, so one running start replaces the 65536 slot records. A search
// wants, among the candidates of the window sharing at least three bytes with the position, the
// longest match, the newest on a tie.
//
// Only the stream counts, and a copy is written only when it is at least 3 bytes long within
// 1024 bytes, 4 within 16384 or 5 within the window. So a candidate sharing exactly three bytes
// matters only when no candidate shares four (one would be the longer match) and it is within
// 1024 bytes: the newest such is then the result, and one further away would be refused, which
// writes the same as finding nothing. Hence two indexes:
// - chains of 32-entry blocks keyed by a hash of the first four bytes, over the whole window.
//   Positions rise along a chain, so newest-first visiting and the window cut work as in the
//   two-byte table. Each entry caches the eight bytes from its start and the length of the run
//   of its first byte, so 32 entries are tested at once for what a candidate needs to beat the
//   current best; the cached bytes also sort out the hash collisions.
// - a plain hash chain keyed by the first three bytes over the last 1024 positions only, which
//   stays in the first-level cache, for when the blocks have no candidate.

constexpr int kBucketBits = 12;
constexpr int kPrefetchAhead = 8;  // positions ahead whose bucket an insertion fetches
constexpr int kWalkAhead = 2;      // blocks a walk fetches ahead of the one it tests
constexpr int kNearWindow = 1024;  // distance up to which a 3-byte match is written
constexpr int kNearBits = 10;
constexpr int kNearRing = 2 * kNearWindow;  // a link is overwritten only after the walks pass it
constexpr std::int32_t kNoPosition = INT32_MIN;

// A block of a chain: starts rise with the index. Aligned so that each array takes whole cache
// lines, which the walks fetch ahead.
struct alignas(64) MatchBlock {
  std::uint32_t key0[kBlockEntries];  // bytes 0..3 of the candidate, low byte first
  std::uint32_t key1[kBlockEntries];  // bytes 4..7
  std::uint16_t run[kBlockEntries];   // run_length() of the candidate
  std::uint32_t start[kBlockEntries];
};

// The links are kept apart from the blocks, in an array small enough to stay in cache, so that a
// walk can fetch the next blocks while it tests this one instead of waiting for each in turn.
struct BlockLink {
  std::int32_t older = -1;
  std::uint32_t first = 0;  // start of entry 0: the walk ends at a block reaching below the window
};

// Key signatures: most searches on text and code find no entry with their four bytes (59 % on
// mixed.bin) and would walk the other keys of their bucket for nothing. So a bucket also has one
// bit per hash of the keys inserted in each generation of half a window; the last three
// generations cover the window, and a clear bit proves that no entry of the window has the key.
constexpr int kGenerations = 3;
constexpr std::int64_t kGeneration = kWindow / 2;

inline std::uint64_t key_bit(std::uint32_t key0) {
  return std::uint64_t{1} << ((key0 * 2246822519u) >> 26);
}

// A bucket: its newest block and that block's newest entry, so that an insertion writes the
// block without first reading it, and the key signatures of the last generations.
struct Bucket {
  std::int32_t block = -1;
  std::int32_t newest = -1;
  std::uint64_t seen[kGenerations] = {};

  bool may_hold(std::uint64_t bit) const {
    std::uint64_t any = 0;
    for (const std::uint64_t generation : seen) any |= generation;
    return (any & bit) != 0;
  }
};

// A block that a newer one was linked in front of, and the position when that happened: all its
// starts are below that position, so the block leaves the window with it.
struct RetiredBlock {
  std::int32_t newer;
  std::int64_t since;
};

inline std::uint32_t load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

inline std::uint32_t bucket_of(std::uint32_t key0) {
  return (key0 * 2654435761u) >> (32 - kBucketBits);
}

inline std::uint32_t near_bucket_of(std::uint32_t key0) {
  return ((key0 & 0xFFFFFFu) * 2654435761u) >> (32 - kNearBits);
}

struct MatchIndex {
  std::vector<Bucket> buckets = std::vector<Bucket>(std::size_t{1} << kBucketBits);
  std::vector<MatchBlock> blocks;
  std::vector<BlockLink> links;
  std::vector<std::int32_t> free_blocks;
  // Blocks are freed by age, not by the searches that pass them, so that the index stays near the
  // window's size (about one block per 32 positions plus two per bucket) whatever the input.
  std::deque<RetiredBlock> retired;
  std::vector<std::int32_t> near_head = std::vector<std::int32_t>(std::size_t{1} << kNearBits, kNoPosition);
  std::array<std::int32_t, kNearRing> near_prev{};
  std::int64_t run_start = 0;  // start of the run covering the last inserted position
  int generation = 0;          // the signature that insertions set
  std::int64_t generation_end;
  // Whether the bucket of run_start may have held its key before run_start was inserted: a
  // search of run_start must not count that entry itself.
  bool run_start_seen = true;

  // An index whose first position will be `first` (0, or a position whose byte differs from the
  // one before it, so that it starts a run whatever came before). Its signatures turn over at the
  // generation boundaries after `first`.
  explicit MatchIndex(std::int64_t first = 0) : generation_end((first / kGeneration + 1) * kGeneration) {}

  // A block for position p, after freeing those that left the window.
  std::int32_t new_block(std::int64_t p) {
    while (!retired.empty() && retired.front().since <= p - kWindow) {
      BlockLink& link = links[retired.front().newer];
      free_blocks.push_back(link.older);
      link.older = -1;
      retired.pop_front();
    }
    if (!free_blocks.empty()) {
      const std::int32_t b = free_blocks.back();
      free_blocks.pop_back();
      return b;
    }
    blocks.emplace_back();
    links.emplace_back();
    return static_cast<std::int32_t>(blocks.size() - 1);
  }

  void prefetch_block(std::int32_t b) const {
    const auto* lines = reinterpret_cast<const char*>(&blocks[b]);
    for (std::size_t at = 0; at < sizeof(MatchBlock); at += 64) __builtin_prefetch(lines + at);
  }
};

inline std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// The eight bytes from p on, low byte first; bytes past the end count as zero. The search only
// relies on bytes before p + min(1028, n - 1 - p), which are all inside the data.
inline std::uint64_t key_at(const std::uint8_t* data, std::int64_t n, std::int64_t p) {
  if (p + 8 <= n) return load64(data + p);
  std::uint64_t key = 0;
  for (int i = 7; i >= 0; --i) key = (key << 8) | (p + i < n ? data[p + i] : 0);
  return key;
}

// Number of equal bytes of a and b from offset `from` on, at most `limit`.
inline int common_length(const std::uint8_t* a, const std::uint8_t* b, int from, int limit) {
  int k = from;
  while (k + 8 <= limit) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + k, 8);
    std::memcpy(&y, b + k, 8);
    x ^= y;
    if (x != 0) {
      if constexpr (std::endian::native == std::endian::little)
        return k + (__builtin_ctzll(x) >> 3);
      else
        return k + (__builtin_clzll(x) >> 3);
    }
    k += 8;
  }
  while (k < limit && a[k] == b[k]) ++k;
  return k;
}

// Length of the run of data[p]'s value from p (key = key_at(p)), at most kMaxMatch and n - p.
// Uniform data has many candidates that share all cached bytes; their run lengths settle most of
// them: two runs of one value that differ in length match for the shorter length exactly.
inline int run_length(const std::uint8_t* data, std::int64_t n, std::int64_t p, std::uint64_t key) {
  const int most = static_cast<int>(std::min<std::int64_t>(kMaxMatch, n - p));
  const std::uint64_t diff = key ^ ((key & 0xFF) * 0x0101010101010101u);
  if (diff != 0 || most <= 8) return std::min(diff != 0 ? __builtin_ctzll(diff) >> 3 : 8, most);
  return 1 + common_length(data + p, data + p + 1, 7, most - 1);
}

// Records position p (p + 1 < n; positions are inserted one after the other from 0). It lengthens
// the run of the previous position when p has the same two bytes (the three bytes from p - 1 are
// equal) and the run is below the cap; otherwise it starts a run and enters both indexes.
void insert_position(MatchIndex& index, const std::uint8_t* data, std::int64_t n, std::int64_t p) {
  if (p + kPrefetchAhead + 8 <= n)
    __builtin_prefetch(
        &index.buckets[bucket_of(static_cast<std::uint32_t>(load64(data + p + kPrefetchAhead)))]);
  if (p == index.generation_end) {
    // The generation three back has left the window: its signature starts the new one.
    index.generation = (index.generation + 1) % kGenerations;
    for (Bucket& b : index.buckets) b.seen[index.generation] = 0;
    index.generation_end += kGeneration;
  }
  if (p >= 1 && data[p - 1] == data[p] && data[p] == data[p + 1] && p - 1 - index.run_start <= kMaxRun)
    return;
  index.run_start = p;
  const std::uint64_t key = key_at(data, n, p);
  const auto key0 = static_cast<std::uint32_t>(key);
  std::int32_t& near = index.near_head[near_bucket_of(key0)];
  index.near_prev[static_cast<std::size_t>(p % kNearRing)] = near;
  near = static_cast<std::int32_t>(p);
  Bucket& head = index.buckets[bucket_of(key0)];
  const std::uint64_t bit = key_bit(key0);
  index.run_start_seen = head.may_hold(bit);
  head.seen[index.generation] |= bit;
  if (head.block < 0 || head.newest == kBlockEntries - 1) {
    const std::int32_t fresh = index.new_block(p);
    index.links[fresh] = BlockLink{head.block, static_cast<std::uint32_t>(p)};
    if (head.block >= 0) index.retired.push_back(RetiredBlock{fresh, p});
    head.block = fresh;
    head.newest = -1;
  }
  MatchBlock& blk = index.blocks[head.block];
  const int e = ++head.newest;
  blk.key0[e] = key0;
  blk.key1[e] = static_cast<std::uint32_t>(key >> 32);
  blk.run[e] = static_cast<std::uint16_t>(run_length(data, n, p, key));
  blk.start[e] = static_cast<std::uint32_t>(p);
}

struct Match {
  std::int64_t start = -1;
  int count = 2;  // L* of the search: the match covers count - 1 bytes
};

// What a candidate must have to beat a best match of `count`, that is to share its first count
// bytes with the position: the same first four bytes, the same bytes 4..7 below count, and a run
// length in [run_lo, run_hi]. Runs of one value match for the shorter length when they differ,
// so with a run of at least count bytes any run of at least count will do, and with a shorter
// run only an equal one.
struct Filter {
  std::uint32_t want0;
  std::uint32_t want1;
  std::uint32_t care1;
  int run_lo;
  int run_hi;
};

inline Filter filter_for(std::uint64_t want, int run, int count) {
  const int bytes = std::clamp(count - 4, 0, 4);
  const std::uint32_t care1 = bytes >= 4 ? 0xFFFFFFFFu : (1u << (8 * bytes)) - 1;
  const bool long_run = run >= count;
  return Filter{static_cast<std::uint32_t>(want), static_cast<std::uint32_t>(want >> 32), care1,
                long_run ? count : run, long_run ? kMaxMatch : run};
}

// Bit i set when entry i passes the filter, for the first 8 * octets entries: only those are
// read, as the newest block of a chain is often far from full.
inline std::uint32_t filter_mask(const MatchBlock& blk, int octets, const Filter& f) {
#if defined(__SSE2__)
  const __m128i w0 = _mm_set1_epi32(static_cast<int>(f.want0));
  const __m128i w1 = _mm_set1_epi32(static_cast<int>(f.want1));
  const __m128i c1 = _mm_set1_epi32(static_cast<int>(f.care1));
  const __m128i below = _mm_set1_epi16(static_cast<short>(f.run_lo - 1));
  const __m128i above = _mm_set1_epi16(static_cast<short>(f.run_hi + 1));
  const __m128i zero = _mm_setzero_si128();
  std::uint32_t mask = 0;
  for (int i = 0; i < 8 * octets; i += 8) {
    __m128i keys[2];
    for (int h = 0; h < 2; ++h) {
      const __m128i k0 = _mm_load_si128(reinterpret_cast<const __m128i*>(blk.key0 + i + 4 * h));
      const __m128i k1 = _mm_load_si128(reinterpret_cast<const __m128i*>(blk.key1 + i + 4 * h));
      keys[h] = _mm_and_si128(_mm_cmpeq_epi32(k0, w0),
                              _mm_cmpeq_epi32(_mm_and_si128(_mm_xor_si128(k1, w1), c1), zero));
    }
    // Run lengths are at most kMaxMatch, so the signed 16-bit compares are exact.
    const __m128i run = _mm_load_si128(reinterpret_cast<const __m128i*>(blk.run + i));
    const __m128i in_range = _mm_and_si128(_mm_cmpgt_epi16(run, below), _mm_cmpgt_epi16(above, run));
    const __m128i pass = _mm_and_si128(_mm_packs_epi32(keys[0], keys[1]), in_range);
    mask |= static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(pass, zero))) << i;
  }
  return mask;
#else
  std::uint32_t mask = 0;
  for (int i = 0; i < 8 * octets; ++i)
    mask |= std::uint32_t{blk.key0[i] == f.want0 && ((blk.key1[i] ^ f.want1) & f.care1) == 0 &&
                          blk.run[i] >= f.run_lo && blk.run[i] <= f.run_hi}
            << i;
  return mask;
#endif
}

// Among the candidates sharing four bytes with p, the newest with the longest match; the first
// one, newest first, that reaches lmax = min(1028, n - 1 - p) >= 4 ends the search. `excluded` is
// the run start covering p, which is never a candidate; `run` is p's run_length(). An entry is
// skipped by the filter only when it cannot replace the best match.
Match search_blocks(const MatchIndex& index, const std::uint8_t* data, std::int64_t p, std::int64_t limit,
                    std::int64_t excluded, int lmax, std::uint64_t want, int run) {
  Match best;
  Filter filter = filter_for(want, run, best.count);
  const Bucket& head = index.buckets[bucket_of(filter.want0)];
  if (!(excluded == p ? index.run_start_seen : head.may_hold(key_bit(filter.want0)))) return best;
  std::int32_t b = head.block;
  // When p starts a run, it is the newest entry of its own chain.
  int top = excluded == p ? head.newest - 1 : head.newest;
  std::int32_t ahead = b;
  for (int k = 0; k < kWalkAhead && ahead >= 0; ++k) {
    index.prefetch_block(ahead);
    ahead = index.links[ahead].older;
  }
  const std::uint8_t* cur = data + p;
  while (b >= 0) {
    const MatchBlock& blk = index.blocks[b];
    const BlockLink& link = index.links[b];
    if (ahead >= 0) {
      index.prefetch_block(ahead);
      ahead = index.links[ahead].older;
    }
    // Entries below the window are left to the test of each candidate's start: as starts rise
    // with the index, the first one found below the window ends the search.
    const auto visit = static_cast<std::uint32_t>((std::uint64_t{1} << (top + 1)) - 1);
    const int octets = (top + 8) / 8;
    std::uint32_t mask = filter_mask(blk, octets, filter) & visit;
    while (mask != 0) {
      const int i = 31 - __builtin_clz(mask);
      mask &= ~(1u << i);
      const std::int64_t s = blk.start[i];
      if (s < limit) return best;
      if (s == excluded) continue;
      int m;
      if (blk.run[i] != run) {
        // Runs of one value of different lengths: the match ends where the shorter one does.
        m = std::min({run, static_cast<int>(blk.run[i]), lmax});
      } else {
        const std::uint8_t* cand = data + s;
        // Only a candidate matching at least best.count bytes can replace the best one: the
        // cached bytes were tested above; beyond them, its eight bytes up to best.count - 1 must
        // match (one load, like a single byte, but a much finer sieve).
        if (best.count > 8 && load64(cand + best.count - 8) != load64(cur + best.count - 8)) continue;
        m = common_length(cand, cur, std::max(4, std::min(run, lmax)), lmax);
      }
      if (m >= lmax) {
        best.start = s;
        best.count = lmax + 1;
        return best;
      }
      if (m + 1 > best.count) {
        best.start = s;
        best.count = m + 1;
        filter = filter_for(want, run, best.count);
        mask &= filter_mask(blk, octets, filter);
      }
    }
    if (link.first < limit) return best;
    b = link.older;
    top = kBlockEntries - 1;
  }
  return best;
}

// The newest candidate at most kNearWindow bytes before p that shares its first three bytes
// (want0's low three), other than `excluded`; -1 when there is none.
std::int64_t search_near(const MatchIndex& index, const std::uint8_t* data, std::int64_t p,
                         std::int64_t excluded, std::uint32_t want0) {
  std::int64_t s = index.near_head[near_bucket_of(want0)];
  while (p - s <= kNearWindow) {
    if (s != excluded && ((load32(data + s) ^ want0) & 0xFFFFFFu) == 0) return s;
    s = index.near_prev[static_cast<std::size_t>(s % kNearRing)];
  }
  return -1;
}

// The search of position p (p + 2 < n) after p was inserted: the run covering p is no candidate.
Match search(const MatchIndex& index, const std::uint8_t* data, std::int64_t n, std::int64_t p,
             std::int64_t limit) {
  const int lmax = static_cast<int>(std::min<std::int64_t>(kMaxMatch, n - 1 - p));
  const std::uint64_t want = key_at(data, n, p);
  Match best;
  if (lmax >= 4)
    best = search_blocks(index, data, p, limit, index.run_start, lmax, want, run_length(data, n, p, want));
  if (best.start < 0 && lmax >= 3) {
    // No candidate shares four bytes, so a 3-byte match is the best there is (with lmax = 3, the
    // newest sharing three bytes is the result anyway); only one within kNearWindow is written.
    const std::int64_t s = search_near(index, data, p, index.run_start, static_cast<std::uint32_t>(want));
    if (s >= 0) {
      best.start = s;
      best.count = 4;
    }
  }
  return best;
}

// Output cursor into a buffer sized for the worst case up front.
struct Writer {
  std::vector<std::uint8_t>& out;
  std::size_t pos;
  void byte(std::uint8_t v) { out[pos++] = v; }
  void bytes(const std::uint8_t* p, std::size_t count) {
    if (count == 0) return;  // p may be null for an empty input
    std::memcpy(out.data() + pos, p, count);
    pos += count;
  }
};

// Pending literals lit[0..count) and a copy of len bytes from distance d.
void write_copy(Writer& w, const std::uint8_t* lit, std::int64_t count, std::int64_t d, int len) {
  while (count > kMaxLiteralRun) {
    w.byte(kCmdLiteralMax);
    w.bytes(lit, kMaxLiteralRun);
    lit += kMaxLiteralRun;
    count -= kMaxLiteralRun;
  }
  if (count > 3) {
    w.byte(static_cast<std::uint8_t>(kCmdLiteral | ((count >> 2) - 1)));
    w.bytes(lit, static_cast<std::size_t>(count & ~3));
    lit += count & ~3;
    count &= 3;
  }
  const std::int64_t o = d - 1;
  const auto pl = static_cast<std::uint32_t>(count);
  if (o < 1024 && len <= 10) {
    w.byte(static_cast<std::uint8_t>(((o >> 8) << 5) | ((len - 3) << 2) | pl));
    w.byte(static_cast<std::uint8_t>(o & 0xFF));
  } else if (o < 16384 && len <= 67) {
    w.byte(static_cast<std::uint8_t>(0x80 | (len - 4)));
    w.byte(static_cast<std::uint8_t>((pl << 6) | (o >> 8)));
    w.byte(static_cast<std::uint8_t>(o & 0xFF));
  } else if (o < kWindow && len <= kMaxMatch) {
    w.byte(static_cast<std::uint8_t>(0xC0 | ((o >> 16) << 4) | (((len - 5) >> 8) << 2) | pl));
    w.byte(static_cast<std::uint8_t>((o >> 8) & 0xFF));
    w.byte(static_cast<std::uint8_t>(o & 0xFF));
    w.byte(static_cast<std::uint8_t>((len - 5) & 0xFF));
  } else {
    console.fatal("compression failed, too long data (shouldn't happen)");
  }
  w.bytes(lit, count);
}

void write_header(Writer& w, std::uint8_t type, std::int64_t n) {
  w.byte(type);
  w.byte(kStreamMagic);
  w.byte(static_cast<std::uint8_t>((n >> 16) & 0xFF));
  w.byte(static_cast<std::uint8_t>((n >> 8) & 0xFF));
  w.byte(static_cast<std::uint8_t>(n & 0xFF));
}

std::size_t worst_case_size(std::int64_t n) {
  return static_cast<std::size_t>(n + 10000 + 65 * (n / 64));
}

DecodeStatus decode_into(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  switch (in[0]) {
    case kStreamLz77:
      return decode_lz77(in, out);
    case kStreamHuffman:
      return decode_huffman(in, out);
    case kStreamBytePair:
      return decode_bytepair(in, out);
    default:
      return DecodeStatus::kNotCompressed;
  }
}

// Checks the header and the declared size against what the input can expand to.
DecodeStatus check_stream(std::span<const std::uint8_t> in, std::int32_t* size) {
  if (!stream_is_compressed(in.data(), static_cast<std::int64_t>(in.size()), size))
    return DecodeStatus::kNotCompressed;
  if (in[0] == kStreamLz77) {
    const std::int64_t body = static_cast<std::int64_t>(in.size()) - kStreamHeaderSize;
    if (*size > body * kMaxLz77Expansion) return DecodeStatus::kTooLarge;
  }
  return DecodeStatus::kOk;
}

}  // namespace

const char* decode_status_text(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kOk:
      return "no error";
    case DecodeStatus::kNotCompressed:
      return "no compressed stream header";
    case DecodeStatus::kTooLarge:
      return "declared size larger than the data can expand to";
    case DecodeStatus::kTruncated:
      return "stream ends too early";
    case DecodeStatus::kBadOffset:
      return "copy reaches before the start of the output";
    case DecodeStatus::kOverrun:
      return "stream produces more than the declared size";
    case DecodeStatus::kShort:
      return "stream stops before the declared size";
    case DecodeStatus::kBadTable:
      return "invalid code table";
  }
  return "unknown error";
}

bool stream_is_compressed(const std::uint8_t* buf, std::int64_t length, std::int32_t* size) {
  if (buf == nullptr || length < kStreamHeaderSize || buf[1] != kStreamMagic) return false;
  if (buf[0] != kStreamLz77 && buf[0] != kStreamHuffman && buf[0] != kStreamBytePair) return false;
  if (size != nullptr) *size = static_cast<std::int32_t>(read_be24(buf + 2));
  return true;
}

DecodeStatus decode_lz77(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  if (in.size() < static_cast<std::size_t>(kStreamHeaderSize)) return DecodeStatus::kTruncated;
  const std::uint8_t* src = in.data();
  const std::size_t in_size = in.size();
  std::uint8_t* dst = out.data();
  const std::size_t out_size = out.size();
  std::size_t ip = data_start(src[0]);
  std::size_t op = 0;
  for (;;) {
    if (ip >= in_size) return DecodeStatus::kTruncated;
    const std::uint8_t b0 = src[ip];
    std::size_t literals;
    std::size_t length = 0;
    std::size_t offset = 0;
    bool stop = false;
    if (b0 <= kCmdShortMax) {
      if (in_size - ip < 2) return DecodeStatus::kTruncated;
      const std::uint8_t b1 = src[ip + 1];
      literals = b0 & 3;
      length = ((b0 >> 2) & 7) + 3;
      offset = ((b0 & 0x60) << 3) + b1 + 1;
      ip += 2;
    } else if (b0 <= kCmdMediumMax) {
      if (in_size - ip < 3) return DecodeStatus::kTruncated;
      const std::uint8_t b1 = src[ip + 1];
      const std::uint8_t b2 = src[ip + 2];
      literals = b1 >> 6;
      length = (b0 & 0x3F) + 4;
      offset = ((b1 & 0x3F) << 8) + b2 + 1;
      ip += 3;
    } else if (b0 <= kCmdLongMax) {
      if (in_size - ip < 4) return DecodeStatus::kTruncated;
      const std::uint8_t b1 = src[ip + 1];
      const std::uint8_t b2 = src[ip + 2];
      const std::uint8_t b3 = src[ip + 3];
      literals = b0 & 3;
      length = ((b0 & 0x0C) << 6) + b3 + 5;
      offset = ((b0 & 0x10) << 12) + (b1 << 8) + b2 + 1;
      ip += 4;
    } else if (b0 <= kCmdLiteralMax) {
      literals = ((b0 & 0x1F) + 1) * 4;
      ip += 1;
    } else {
      literals = b0 & 3;
      stop = true;
      ip += 1;
    }
    if (literals > 0) {
      if (in_size - ip < literals) return DecodeStatus::kTruncated;
      if (out_size - op < literals) return DecodeStatus::kOverrun;
      std::memcpy(dst + op, src + ip, literals);
      ip += literals;
      op += literals;
    }
    if (stop) return op == out_size ? DecodeStatus::kOk : DecodeStatus::kShort;
    if (length > 0) {
      if (offset > op) return DecodeStatus::kBadOffset;
      if (out_size - op < length) return DecodeStatus::kOverrun;
      std::uint8_t* to = dst + op;
      const std::uint8_t* from = to - offset;
      if (offset >= length) {
        std::memcpy(to, from, length);
      } else if (offset == 1) {
        std::memset(to, *from, length);
      } else {
        // Overlapping copy: each byte may be one this copy has just written.
        for (std::size_t k = 0; k < length; ++k) to[k] = from[k];
      }
      op += length;
    }
  }
}

DecodeStatus decode_huffman(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  if (in.size() < static_cast<std::size_t>(kStreamHeaderSize)) return DecodeStatus::kTruncated;
  BitReader br(in.data() + kStreamHeaderSize, in.size() - kStreamHeaderSize);
  bool bad = false;
  const std::uint32_t clue = br.bits(8);

  // Code lengths until the code space is full.
  std::array<std::uint32_t, kMaxCodeLength + 1> count{};
  std::uint32_t total = 0;
  std::uint64_t v = 0;
  int max_length = 0;
  for (int length = 1;; ++length) {
    if (length > kMaxCodeLength) return br.overrun() ? DecodeStatus::kTruncated : DecodeStatus::kBadTable;
    const std::uint32_t c = br.number(bad);
    if (bad || br.overrun()) return br.overrun() ? DecodeStatus::kTruncated : DecodeStatus::kBadTable;
    count[length] = c;
    total += c;
    // Only 256 byte values exist, and an over-full code space has no valid codes.
    if (total > 256) return DecodeStatus::kBadTable;
    v = v * 2 + c;
    if (v > (std::uint64_t{1} << length)) return DecodeStatus::kBadTable;
    if (c > 0 && v == (std::uint64_t{1} << length)) {
      max_length = length;
      break;
    }
  }

  // Symbol list: each value is the s-th value not chosen yet, counting on from the last one.
  std::array<std::uint8_t, 256> symbols{};
  std::array<bool, 256> chosen{};
  int at = -1;
  for (std::uint32_t i = 0; i < total; ++i) {
    std::uint32_t s = br.number(bad);
    if (bad || br.overrun()) return br.overrun() ? DecodeStatus::kTruncated : DecodeStatus::kBadTable;
    // Stepping s + 1 values round a ring of (256 - i) free values; whole turns change nothing.
    const std::uint32_t free_values = 256 - i;
    std::uint32_t steps = s % free_values + 1;
    while (steps > 0) {
      at = (at + 1) & 255;
      if (!chosen[at]) --steps;
    }
    chosen[at] = true;
    symbols[i] = static_cast<std::uint8_t>(at);
  }

  // Canonical codes: first code of each length and index of its first symbol.
  std::array<std::uint32_t, kMaxCodeLength + 2> first{};
  std::array<std::uint32_t, kMaxCodeLength + 2> index{};
  std::uint32_t code = 0;
  std::uint32_t idx = 0;
  for (int length = 1; length <= max_length; ++length) {
    first[length] = code;
    index[length] = idx;
    code = (code + count[length]) << 1;
    idx += count[length];
  }

  std::uint8_t* dst = out.data();
  const std::size_t out_size = out.size();
  std::size_t op = 0;
  for (;;) {
    std::uint32_t c = 0;
    int symbol = -1;
    for (int length = 1; length <= max_length; ++length) {
      c = (c << 1) | br.bit();
      if (c - first[length] < count[length]) {
        symbol = symbols[index[length] + (c - first[length])];
        break;
      }
    }
    if (br.overrun()) return DecodeStatus::kTruncated;
    if (symbol < 0) return DecodeStatus::kBadTable;
    if (static_cast<std::uint32_t>(symbol) != clue) {
      if (op >= out_size) return DecodeStatus::kOverrun;
      dst[op++] = static_cast<std::uint8_t>(symbol);
      continue;
    }
    const std::uint32_t n = br.number(bad);
    if (bad) return DecodeStatus::kBadTable;
    if (br.overrun()) return DecodeStatus::kTruncated;
    if (n > 0) {
      if (op == 0) return DecodeStatus::kBadOffset;
      if (out_size - op < n) return DecodeStatus::kOverrun;
      std::memset(dst + op, dst[op - 1], n);
      op += n;
      continue;
    }
    const std::uint32_t end = br.bit();
    if (end == 0) {
      const std::uint32_t literal = br.bits(8);
      if (br.overrun()) return DecodeStatus::kTruncated;
      if (op >= out_size) return DecodeStatus::kOverrun;
      dst[op++] = static_cast<std::uint8_t>(literal);
      continue;
    }
    if (br.overrun()) return DecodeStatus::kTruncated;
    return op == out_size ? DecodeStatus::kOk : DecodeStatus::kShort;
  }
}

DecodeStatus decode_bytepair(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  if (in.size() < static_cast<std::size_t>(kStreamHeaderSize)) return DecodeStatus::kTruncated;
  const std::uint8_t* src = in.data();
  const std::size_t in_size = in.size();
  std::size_t ip = data_start(src[0]);
  if (in_size < ip + 2) return DecodeStatus::kTruncated;
  const std::uint8_t escape = src[ip];
  const std::size_t pairs = src[ip + 1];
  ip += 2;
  if (in_size - ip < pairs * 3) return DecodeStatus::kTruncated;
  std::array<bool, 256> is_code{};
  std::array<std::uint8_t, 256> left{};
  std::array<std::uint8_t, 256> right{};
  for (std::size_t i = 0; i < pairs; ++i) {
    const std::uint8_t c = src[ip];
    is_code[c] = true;
    left[c] = src[ip + 1];
    right[c] = src[ip + 2];
    ip += 3;
  }

  std::uint8_t* dst = out.data();
  const std::size_t out_size = out.size();
  std::size_t op = 0;
  std::array<std::uint8_t, kMaxPairStack> stack{};
  for (;;) {
    if (ip >= in_size) return DecodeStatus::kTruncated;
    const std::uint8_t b = src[ip++];
    if (b == escape) {
      if (ip >= in_size) return DecodeStatus::kTruncated;
      const std::uint8_t v = src[ip++];
      if (v == 0) return op == out_size ? DecodeStatus::kOk : DecodeStatus::kShort;
      if (op >= out_size) return DecodeStatus::kOverrun;
      dst[op++] = v;
    } else if (!is_code[b]) {
      if (op >= out_size) return DecodeStatus::kOverrun;
      dst[op++] = b;
    } else {
      int depth = 0;
      stack[depth++] = b;
      while (depth > 0) {
        const std::uint8_t x = stack[--depth];
        if (is_code[x]) {
          // Right first, so that the left expansion comes out first.
          if (depth + 2 > kMaxPairStack) return DecodeStatus::kBadTable;
          stack[depth++] = right[x];
          stack[depth++] = left[x];
        } else {
          if (op >= out_size) return DecodeStatus::kOverrun;
          dst[op++] = x;
        }
      }
    }
  }
}

DecodeStatus stream_decode(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
  std::int32_t size = 0;
  const DecodeStatus checked = check_stream(in, &size);
  if (checked != DecodeStatus::kOk) return checked;
  out.assign(static_cast<std::size_t>(size), 0);
  return decode_into(in, out);
}

std::uint8_t* stream_decompress(std::uint8_t* buf, std::int32_t* size, int release_input,
                                DecodeStatus* status) {
  if (status != nullptr) *status = DecodeStatus::kNotCompressed;
  if (buf == nullptr || size == nullptr || *size < 0) return nullptr;
  std::span<const std::uint8_t> in(buf, static_cast<std::size_t>(*size));
  std::int32_t declared = 0;
  DecodeStatus result = check_stream(in, &declared);
  std::uint8_t* out = nullptr;
  if (result == DecodeStatus::kOk) {
    out = static_cast<std::uint8_t*>(console.allocate(static_cast<std::size_t>(declared) + kOutputSlack));
    result = decode_into(in, std::span<std::uint8_t>(out, static_cast<std::size_t>(declared)));
  }
  if (status != nullptr) *status = result;
  if (result == DecodeStatus::kNotCompressed) return nullptr;
  if (result != DecodeStatus::kOk) {
    console.release(out);
    if (status == nullptr) console.fatal("compressed data is corrupt: %s", decode_status_text(result));
    return nullptr;
  }
  if (release_input) console.release(buf);
  *size = declared;
  return out;
}

namespace {

// One step of the greedy parse at p: inserts p, searches it and, when the match is written as a
// copy, inserts the positions it covers. Gives the copy's distance and length, or 0 for a literal.
// The result depends only on the data up to p: every position is inserted whatever the parse.
struct Step {
  std::int64_t d = 0;
  int len = 0;
};

Step parse_step(MatchIndex& index, const std::uint8_t* data, std::int64_t n, std::int64_t p) {
  const std::int64_t limit = std::max<std::int64_t>(0, p - kWindow);
  Match m;
  if (p + 2 < n) {
    insert_position(index, data, n, p);
    m = search(index, data, n, p, limit);
  } else if (p + 1 < n) {
    insert_position(index, data, n, p);
  }
  const int len = m.count - 1;
  const std::int64_t d = p - m.start;
  if (m.start < 0 || !((len >= 3 && d <= 1024) || (len >= 4 && d <= 16384) || (len >= 5 && d <= kWindow)))
    return Step{};
  for (std::int64_t q = p + 1; q < p + len; ++q) insert_position(index, data, n, q);
  return Step{d, len};
}

// The parse of the second part, from `from` on, made ahead on another thread: the positions it
// searched and the copies it decided.
struct LaterParse {
  std::int64_t from = 0;
  std::vector<std::uint64_t> searched;  // one bit per position from `from`
  struct Copy {
    std::int32_t p, d, len;
  };
  std::vector<Copy> copies;

  bool was_searched(std::int64_t p) const {
    const std::int64_t k = p - from;
    return (searched[static_cast<std::size_t>(k >> 6)] >> (k & 63)) & 1;
  }

  bool complete = false;  // false when the parse ran out of memory: then it is not used

  void run(const std::uint8_t* data, std::int64_t n, std::int64_t warm) {
    try {
      parse(data, n, warm);
      complete = true;
    } catch (const std::bad_alloc&) {
      searched.clear();
      copies.clear();
    }
  }

 private:
  void parse(const std::uint8_t* data, std::int64_t n, std::int64_t warm) {
    MatchIndex index(warm);
    for (std::int64_t q = warm; q < from; ++q) insert_position(index, data, n, q);
    searched.assign(static_cast<std::size_t>((n - from + 63) / 64), 0);
    std::int64_t p = from;
    do {
      searched[static_cast<std::size_t>((p - from) >> 6)] |= std::uint64_t{1} << ((p - from) & 63);
      const Step st = parse_step(index, data, n, p);
      if (st.len > 0) {
        copies.push_back(Copy{static_cast<std::int32_t>(p), static_cast<std::int32_t>(st.d), st.len});
        p += st.len;
      } else {
        p += 1;
      }
    } while (p < n - 3);
  }
};

// Where the index of a later parse may start: a position whose byte differs from the one before
// it, far enough before `from` that every candidate the searches from `from` on can see, and
// every run they exclude, is in it. -1 when the data gives none (one long run).
std::int64_t warm_start(const std::uint8_t* data, std::int64_t from) {
  for (std::int64_t q = from - kWindow - kNearWindow - 1; q >= 1; --q) {
    if (data[q - 1] != data[q]) return q;
  }
  return -1;
}

}  // namespace

void lz77_compress(const std::uint8_t* data, std::int64_t n, std::vector<std::uint8_t>& out, bool report) {
  // Below this size a second thread gains less than it costs.
  constexpr std::int64_t kSplitSize = std::int64_t{1} << 20;
  lz77_compress_split(data, n, out, report, n >= kSplitSize ? n / 2 : 0);
}

std::int64_t lz77_compress_split(const std::uint8_t* data, std::int64_t n, std::vector<std::uint8_t>& out,
                                 bool report, std::int64_t split) {
  const std::size_t base = out.size();
  out.resize(base + worst_case_size(n));
  Writer w{out, base};
  write_header(w, kStreamLz77, n);

  std::int64_t literal_start = 0;
  std::int64_t takeover = -1;
  if (n > 0) {
    // The second part is parsed ahead on another thread, from `split`. This thread parses up to
    // there, then on until it reaches a position that parse also searched: from that position on
    // both parses are the same, so its copies are taken over.
    const std::int64_t warm = split > 0 && split < n - 3 ? warm_start(data, split) : -1;
    LaterParse later;
    std::jthread helper;  // joined on the way out, also when this thread throws
    if (warm > 0) {
      later.from = split;
      try {
        helper = std::jthread([&later, data, n, warm] { later.run(data, n, warm); });
      } catch (const std::system_error&) {
        later.from = 0;  // no second thread to be had: this one parses everything
      }
    }
    const bool ahead = helper.joinable();
    bool taken_over = false;
    MatchIndex table;
    // Positions with fewer than two bytes after them have no slot; they only occur for inputs
    // shorter than 4 bytes, where no match is possible anyway.
    if (n >= 2) insert_position(table, data, n, 0);
    std::int64_t p = 1;
    std::int64_t threshold = -1;
    do {
      if (report && p > threshold) {
        const std::int64_t outpos = static_cast<std::int64_t>(w.pos - base);
        console.print("compressing %lld/%lld (%lld%%) (OUT %lld %lld%%)%c", static_cast<long long>(p),
                      static_cast<long long>(n), static_cast<long long>(p * 100 / n),
                      static_cast<long long>(outpos), static_cast<long long>(outpos * 100 / p), '\r');
        threshold += 10000;
      }
      if (ahead && p >= later.from) {
        if (helper.joinable()) helper.join();
        if ((taken_over = later.complete && later.was_searched(p))) break;
      }
      const Step st = parse_step(table, data, n, p);
      if (st.len > 0) {
        write_copy(w, data + literal_start, p - literal_start, st.d, st.len);
        p += st.len;
        literal_start = p;
      } else {
        p += 1;
      }
    } while (p < n - 3);
    if (helper.joinable()) helper.join();  // a last copy reached past the split point and the end
    if (taken_over) {
      takeover = p;
      for (const LaterParse::Copy& c : later.copies) {
        if (c.p < p) continue;
        write_copy(w, data + literal_start, c.p - literal_start, c.d, c.len);
        literal_start = c.p + c.len;
      }
    }
  }

  std::int64_t pending = n - literal_start;
  const std::uint8_t* lit = data + literal_start;
  while (pending > kMaxLiteralRun) {
    w.byte(kCmdLiteralMax);
    w.bytes(lit, kMaxLiteralRun);
    lit += kMaxLiteralRun;
    pending -= kMaxLiteralRun;
  }
  if (pending >= 4) {
    w.byte(static_cast<std::uint8_t>(kCmdLiteral | ((pending / 4) - 1)));
    w.bytes(lit, static_cast<std::size_t>(pending & ~3));
    lit += pending & ~3;
  }
  w.byte(static_cast<std::uint8_t>(kCmdStop | (pending & 3)));
  w.bytes(lit, static_cast<std::size_t>(pending & 3));
  out.resize(w.pos);

  if (report) {
    console.print("%s\r", std::string(79, ' ').c_str());
    console.print("old size %lld, new size %lld\n", static_cast<long long>(n),
                  static_cast<long long>(w.pos - base));
  }
  return takeover;
}

void literal_wrap(const std::uint8_t* data, std::int64_t n, std::vector<std::uint8_t>& out) {
  if (n % 4 != 0) console.fatal("tried to compress data not divisible by 4");
  const std::size_t base = out.size();
  out.resize(base + static_cast<std::size_t>(n + (n + 63) / 64 + 6));
  Writer w{out, base};
  write_header(w, kStreamLz77, n);
  for (std::int64_t at = 0; at < n; at += 64) {
    const std::int64_t block = std::min<std::int64_t>(64, n - at);
    w.byte(static_cast<std::uint8_t>(kCmdLiteral | ((block / 4) - 1)));
    w.bytes(data + at, static_cast<std::size_t>(block));
  }
  w.byte(kCmdStop);
}

std::uint8_t* stream_compress(std::uint8_t* buf, std::int32_t* size) {
  const std::int64_t n = *size;
  if (n > kMaxStreamSize)
    console.fatal("data too large to compress (%lld bytes, at most %lld fit the size field)",
                  static_cast<long long>(n), static_cast<long long>(kMaxStreamSize));
  std::vector<std::uint8_t> stream;
  stream.reserve(worst_case_size(n));
  if (options.real_compression) {
    lz77_compress(buf, n, stream, true);
    // Self-test: the stream must give back exactly the input.
    std::vector<std::uint8_t> check;
    const DecodeStatus status = stream_decode(stream, check);
    if (status != DecodeStatus::kOk || static_cast<std::int64_t>(check.size()) != n)
      console.fatal("compression test failed! (orig size %ld new size %ld)", static_cast<long>(n),
                    static_cast<long>(status == DecodeStatus::kOk ? check.size() : 0));
    if (n > 0 && std::memcmp(check.data(), buf, static_cast<std::size_t>(n)) != 0) {
      if (ConsoleFile* f = console.open("temp.tmp", 1)) {
        console.write(f, check.data(), static_cast<std::int64_t>(check.size()));
        console.close(f);
      }
      console.fatal("compression test failed! original <> compressed->decompressed!");
    }
  } else {
    literal_wrap(buf, n, stream);
  }
  console.release(buf);
  auto* out = static_cast<std::uint8_t*>(console.allocate(worst_case_size(n)));
  std::memcpy(out, stream.data(), stream.size());
  *size = static_cast<std::int32_t>(stream.size());
  return out;
}

namespace {

// Reads a whole file into a console block. Gives null (after printing the message) when it
// cannot be opened.
std::uint8_t* read_whole(const char* name, std::int32_t* size) {
  ConsoleFile* f = console.open(name, 0);
  if (f == nullptr) {
    console.print("couldn't open '%s' for reading\n", name);
    return nullptr;
  }
  const std::int64_t length = console.size(f);
  if (length > INT32_MAX - 64) console.fatal("file '%s' is too large", name);
  auto* buf = static_cast<std::uint8_t*>(console.allocate(static_cast<std::size_t>(length)));
  const std::int64_t got = console.read(f, buf, length);
  console.close(f);
  if (got != length) console.fatal("couldn't read '%s'", name);
  *size = static_cast<std::int32_t>(length);
  return buf;
}

// Writes the whole file under a temporary name beside the target, flushes it and renames it into
// place, so that the target is either the old file or the complete new one, also after a power
// loss.
int write_whole(const char* name, const std::uint8_t* data, std::int32_t size) {
  const std::string temp = std::string(name) + ".~braxel";
  ConsoleFile* f = console.open(temp.c_str(), 1);
  if (f == nullptr) {
    console.print("couldn't open '%s' for writing\n", name);
    return kExitFailure;
  }
  const bool written = console.write(f, data, size) == size && console.flush(f);
  console.close(f);
  if (!written || !console.replace(temp.c_str(), name)) {
    console.remove(temp.c_str());
    console.fatal("couldn't write '%s'", name);
  }
  return kExitOk;
}

}  // namespace

int command_compress(const char* source, const char* destination) {
  std::int32_t size = 0;
  std::uint8_t* buf = read_whole(source, &size);
  if (buf == nullptr) return kExitFailure;
  std::uint8_t* packed = stream_compress(buf, &size);
  const int status = write_whole(destination, packed, size);
  console.release(packed);
  return status;
}

int command_decompress(const char* source, const char* destination) {
  std::int32_t size = 0;
  std::uint8_t* buf = read_whole(source, &size);
  if (buf == nullptr) return kExitFailure;
  DecodeStatus status = DecodeStatus::kOk;
  std::uint8_t* plain = stream_decompress(buf, &size, 1, &status);
  if (plain == nullptr) {
    console.release(buf);
    if (status == DecodeStatus::kNotCompressed) console.fatal("file '%s' is not compressed", source);
    console.fatal("file '%s' is corrupt (%s)", source, decode_status_text(status));
  }
  const int result = write_whole(destination, plain, size);
  console.release(plain);
  return result;
}
