// Sample-rate conversion by bandlimited interpolation: every output sample is the input
// convolved with a windowed-sinc low-pass filter centred on the output's instant, with the
// filter table stepped in fixed point. The input passes through a 4096-sample window so that
// whole songs convert without a second copy of the channel.
#include "quillon/soundcore/resample.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "quillon/soundcore/aurex.h"
#include "quillon/soundcore/sinfo.h"

namespace {

using aurex::kResampleLpScl;
using aurex::kResampleNmult;
using aurex::kResampleNpc;
using aurex::kResampleNwing;

constexpr int kNhc = 8;          // bits of phase that select a coefficient
constexpr int kNa = 7;           // bits of phase that interpolate between coefficients
constexpr int kNp = kNhc + kNa;  // fraction bits of the time register
constexpr int32_t kAmask = (1 << kNa) - 1;
constexpr uint32_t kPmask = (1u << kNp) - 1;
constexpr int kNhxn = 14;         // each tap product keeps 16 + 2 guard bits
constexpr int kNhg = 16 - kNhxn;  // guard bits dropped from the wing sum
constexpr int kNLpScl = 13;       // fraction bits of the gain
constexpr int kWindow = 4096;     // input samples held at a time
static_assert(kResampleNpc == 1 << kNhc);

// The filter is designed here rather than copied: a Kaiser-windowed sinc, beta 9 (about 90 dB
// of stopband rejection, the limit of 16-bit coefficients anyway) spanning the table's 32 zero
// crossings. The cut-off is 0.855 of the lower rate's Nyquist frequency: that is the cut-off at
// which the coefficient sum, scaled by the fixed gain 14008, is unity, so a converted sound keeps
// its level. With this window the passband is flat to about 0.77 and the stopband begins at
// about 0.94 of that Nyquist frequency, so nothing folds back below the new rate's band edge.
// The window leaves the last coefficients at 0 after rounding; the last one is pinned to 0 so
// the table meets the layout the stepping code assumes whatever the rounding.
constexpr double kCutoff = 0.855;
constexpr double kBeta = 9.0;

struct FilterTable {
  std::array<int16_t, kResampleNwing> imp;
  std::array<int16_t, kResampleNwing> impd;
};

// Modified Bessel function of the first kind, order 0, by its power series.
double besseli0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k < 60; ++k) {
    const double q = x / (2.0 * k);
    term *= q * q;
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

FilterTable designfilter() {
  constexpr double kPi = 3.14159265358979323846;
  FilterTable t{};
  const double norm = besseli0(kBeta);
  for (int i = 0; i < kResampleNwing; ++i) {
    const double x = kPi * kCutoff * i / kResampleNpc;
    const double sinc = i == 0 ? 1.0 : std::sin(x) / x;
    const double u = static_cast<double>(i) / kResampleNwing;
    const double window = besseli0(kBeta * std::sqrt(1.0 - u * u)) / norm;
    t.imp[i] = static_cast<int16_t>(std::lround(32767.0 * sinc * window));
  }
  t.imp[kResampleNwing - 1] = 0;
  for (int i = 0; i + 1 < kResampleNwing; ++i) t.impd[i] = static_cast<int16_t>(t.imp[i + 1] - t.imp[i]);
  t.impd[kResampleNwing - 1] = 0;
  return t;
}

const FilterTable& filtertable() {
  static const FilterTable table = designfilter();
  return table;
}

// One tap: coefficient times sample, rounded at bit 13 and scaled down by 2^14. Adding 2^13
// before the shift gives the same result as adding it only when bit 13 is set, without a branch
// that the sign pattern of the products makes unpredictable.
inline int32_t tap(int32_t coeff, int16_t x) {
  return (coeff * x + (1 << (kNhxn - 1))) >> kNhxn;
}

// The coefficients of one wing, from the centre outwards, at unit tap spacing (new rate >= old
// rate). The left wing (Right false) starts at the sample at the integer time with the time's
// phase; the right wing starts at the next sample with the negated phase and drops the last
// coefficient, so a phase of one half does not take one tap too many. A right wing at phase 0
// would repeat the centre tap: it starts one crossing in.
template <bool Right, bool Interp, typename Fn>
inline void wingup(const FilterTable& f, int32_t ph, Fn&& fn) {
  int32_t hi = ph >> kNa;
  const int32_t a = ph & kAmask;
  int32_t end = kResampleNwing;
  if constexpr (Right) {
    --end;
    if (ph == 0) hi += kResampleNpc;
  }
  for (; hi < end; hi += kResampleNpc) {
    int32_t c = f.imp[hi];
    if constexpr (Interp) c += (f.impd[hi] * a) >> kNa;
    fn(c);
  }
}

// The same with the taps spread dhb/128 table entries apart (new rate < old rate), so the
// filter's cut-off follows the lower rate.
template <bool Right, bool Interp, typename Fn>
inline void wingdown(const FilterTable& f, int32_t ph, uint32_t dhb, Fn&& fn) {
  uint32_t ho = (static_cast<uint32_t>(ph) * dhb) >> kNp;
  uint32_t end = kResampleNwing;
  if constexpr (Right) {
    --end;
    if (ph == 0) ho += dhb;
  }
  for (; (ho >> kNa) < end; ho += dhb) {
    const uint32_t hi = ho >> kNa;
    int32_t c = f.imp[hi];
    if constexpr (Interp) c += (f.impd[hi] * static_cast<int32_t>(ho & kAmask)) >> kNa;
    fn(c);
  }
}

template <bool Right, bool Interp, typename Fn>
inline void wing(const FilterTable& f, bool down, int32_t ph, uint32_t dhb, Fn&& fn) {
  if (down)
    wingdown<Right, Interp>(f, ph, dhb, fn);
  else
    wingup<Right, Interp>(f, ph, fn);
}

// Guard bits off, gain on, rounded and clamped to 16 bits.
inline int16_t scaleout(int32_t v, int32_t lpscl) {
  v >>= kNhg;
  v *= lpscl;
  v += 1 << (kNLpScl - 1);
  v >>= kNLpScl;
  return static_cast<int16_t>(std::clamp<int32_t>(v, -32768, 32767));
}

struct Converter {
  const FilterTable& f;
  uint32_t dtb;  // output period in input samples, Np fraction bits
  uint32_t dhb;  // tap spacing in table entries, Na fraction bits (down-conversion only)
  int32_t lpscl;
  bool down;
};

#if defined(__SSE2__)
// Taps eight at a time. With the product split into its high half h (signed) and low half l
// (unsigned), a tap is 4h + ((l >> 13) + 1) / 2. The 4h terms are summed pairwise into 32-bit
// lanes; the rounding terms (0 to 4 each) stay in 16-bit lanes, which cannot overflow at the
// phase table's 16384 taps.
struct TapSums {
  __m128i high = _mm_setzero_si128();
  __m128i round = _mm_setzero_si128();

  void add(__m128i c, __m128i x) {
    high = _mm_add_epi32(high, _mm_madd_epi16(_mm_mulhi_epi16(c, x), _mm_set1_epi16(4)));
    round =
        _mm_add_epi16(round, _mm_avg_epu16(_mm_srli_epi16(_mm_mullo_epi16(c, x), 13), _mm_setzero_si128()));
  }
  int32_t total() const {
    __m128i sum = _mm_add_epi32(high, _mm_madd_epi16(round, _mm_set1_epi16(1)));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(sum);
  }
};

bool haveavx2() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return has;
}

// The same sixteen taps at a time; returns how many taps it took into `sums`.
__attribute__((target("avx2"))) int32_t dotavx2(const int16_t* c, const int16_t* x, int32_t n,
                                                TapSums& sums) {
  __m256i high = _mm256_setzero_si256(), round = _mm256_setzero_si256();
  int32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i));
    high = _mm256_add_epi32(high, _mm256_madd_epi16(_mm256_mulhi_epi16(a, b), _mm256_set1_epi16(4)));
    round = _mm256_add_epi16(
        round, _mm256_avg_epu16(_mm256_srli_epi16(_mm256_mullo_epi16(a, b), 13), _mm256_setzero_si256()));
  }
  sums.high = _mm_add_epi32(_mm256_castsi256_si128(high), _mm256_extracti128_si256(high, 1));
  sums.round = _mm_add_epi16(_mm256_castsi256_si128(round), _mm256_extracti128_si256(round, 1));
  return i;
}
#endif

// The time's fraction repeats every 2^15 / gcd(dtb, 2^15) outputs. When that period is short
// (the output period a multiple of 1/256 input sample, as from 44100 to 22050 or 11025 Hz, from
// 22050 to 44100 Hz, or from 3 to 2), the taps of each phase are laid out once, left wing
// reversed, so every output is one plain dot product over the window; the sums are the same
// integers as those of the direct path.
class PhaseTable {
 public:
  static constexpr int kMaxCoeffs = 16384;  // 32 KB on the stack
  static constexpr int kMaxPhases = 256;
  static constexpr int kStep = 16;  // taps per vector step; the window has this much room past its end

  template <bool Interp>
  bool build(const Converter& c) {
    const uint32_t step = c.dtb & kPmask;
    phases_ = step == 0 ? 1 : static_cast<int32_t>((kPmask + 1) >> std::countr_zero(step));
    if (phases_ > kMaxPhases) return false;
    int32_t used = 0;
    for (int32_t j = 0; j < phases_; ++j) {
      const uint32_t frac = (static_cast<uint32_t>(j) * c.dtb) & kPmask;
      Phase& p = phase_[j];
      p.left = used;
      p.nleft = 0;
      wing<false, Interp>(c.f, c.down, static_cast<int32_t>(frac), c.dhb, [&](int32_t coeff) {
        if (used < kMaxCoeffs) coeffs_[used] = static_cast<int16_t>(coeff);
        ++used;
        ++p.nleft;
      });
      if (used > kMaxCoeffs) return false;
      std::reverse(coeffs_.begin() + p.left, coeffs_.begin() + used);
      wing<true, Interp>(c.f, c.down, static_cast<int32_t>((~frac + 1) & kPmask), c.dhb, [&](int32_t coeff) {
        if (used < kMaxCoeffs) coeffs_[used] = static_cast<int16_t>(coeff);
        ++used;
      });
      // Zeros up to a whole number of vector steps: they add nothing to the sum and spare the
      // vector loop its scalar tail.
      while ((used - p.left) % kStep != 0) {
        if (used < kMaxCoeffs) coeffs_[used] = 0;
        ++used;
      }
      p.count = used - p.left;
      if (used > kMaxCoeffs) return false;
    }
    return true;
  }

  int32_t phases() const { return phases_; }

  // Both wings of phase j around the sample at xp: the left wing's taps, reversed, run straight on
  // into the right wing's, over consecutive samples.
  int32_t sum(int32_t j, const int16_t* xp) const {
    const Phase& p = phase_[j];
    return dot(coeffs_.data() + p.left, xp - p.nleft + 1, p.count);
  }

 private:
  struct Phase {
    int32_t left, nleft;
    int32_t count;  // taps in the table from `left`: both wings and the zeros after them
  };
  static int32_t dot(const int16_t* c, const int16_t* x, int32_t n) {
    int32_t v = 0;
    int32_t i = 0;
#if defined(__SSE2__)
    TapSums sums;
    if (haveavx2()) i = dotavx2(c, x, n, sums);
    for (; i + 8 <= n; i += 8) {
      sums.add(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i)),
               _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i)));
    }
    v = sums.total();
#endif
    for (; i < n; ++i) v += tap(c[i], x[i]);
    return v;
  }
  std::array<int16_t, kMaxCoeffs> coeffs_;
  std::array<Phase, kMaxPhases> phase_;
  int32_t phases_ = 0;
};

// Writes outputs for the input times from `time` up to (not including) `time` + nx samples, at
// most `room` of them; returns how many and leaves `time` after the last one. `phase` counts the
// outputs modulo the phase table's period when there is one.
template <bool Interp>
int32_t convertblock(const Converter& c, const PhaseTable* table, int32_t& phase, const int16_t* x,
                     uint32_t& time, int32_t nx, int16_t* y, int32_t room) {
  const uint32_t endtime = time + (static_cast<uint32_t>(nx) << kNp);
  int32_t n = 0;
  if (table) {
    for (; time < endtime && n < room; time += c.dtb) {
      y[n++] = scaleout(table->sum(phase, x + (time >> kNp)), c.lpscl);
      if (++phase == table->phases()) phase = 0;
    }
    return n;
  }
  for (; time < endtime && n < room; time += c.dtb) {
    const int16_t* xp = x + (time >> kNp);
    const auto ph = static_cast<int32_t>(time & kPmask);
    const auto phr = static_cast<int32_t>((~time + 1) & kPmask);
    int32_t v = 0;
    const int16_t* left = xp;
    wing<false, Interp>(c.f, c.down, ph, c.dhb, [&](int32_t coeff) { v += tap(coeff, *left--); });
    const int16_t* right = xp + 1;
    wing<true, Interp>(c.f, c.down, phr, c.dhb, [&](int32_t coeff) { v += tap(coeff, *right++); });
    y[n++] = scaleout(v, c.lpscl);
  }
  return n;
}

}  // namespace

namespace aurex {
const int16_t* resamplefilter() {
  return filtertable().imp.data();
}
const int16_t* resamplefilterdeltas() {
  return filtertable().impd.data();
}
}  // namespace aurex

int32_t AUREX_resample(double factor, const int16_t* in, int32_t incount, int16_t* out, int32_t outcount,
                       int interpolate) {
  if (!in || !out || incount < 0 || outcount < 0) {
    AUREX_seterror("Invalid buffer passed to AUREX_resample.");
    return 0;
  }
  // The filter must reach (Nmult + 1) / 2 input samples either side of the output instant, and
  // 1 / factor times that when down-converting; ten more samples leave room for the integer time
  // to creep. Both reaches must fit in the window with at least one sample left to convert.
  const double reach = (kResampleNmult + 1) / 2.0 * std::max(1.0, 1.0 / factor) + 10.0;
  const double period = 32768.0 / factor + 0.5;
  if (!(factor > 0.0) || !std::isfinite(factor) || !(reach < kWindow / 2) || !(period >= 1.0)) {
    AUREX_seterror("Re-sampling factor out of range in AUREX_resample.");
    return 0;
  }
  if (outcount == 0) return 0;
  const auto xoff = static_cast<int32_t>(reach);
  const int32_t nxfull = kWindow - 2 * xoff;

  Converter c{filtertable(), static_cast<uint32_t>(period), 0, kResampleLpScl, factor < 1.0};
  if (c.down) {
    c.lpscl = static_cast<int32_t>(factor * kResampleLpScl + 0.5);
    const double dh = std::min<double>(kResampleNpc, factor * kResampleNpc);
    c.dhb = static_cast<uint32_t>(dh * (1 << kNa) + 0.5);
  }

  PhaseTable phasetable;
  const bool periodic = interpolate ? phasetable.build<true>(c) : phasetable.build<false>(c);
  const PhaseTable* table = periodic ? &phasetable : nullptr;
  int32_t phase = 0;

  // The first xoff samples are the silence before the input; the zeros past kWindow are read only
  // against the phase table's padding.
  std::array<int16_t, kWindow + PhaseTable::kStep> x{};
  uint32_t time = static_cast<uint32_t>(xoff) << kNp;
  int32_t xread = xoff;  // where the next input goes into the window
  int64_t inpos = 0;     // input index of window[xread]
  int32_t total = 0;

  while (total < outcount) {
    // Fill the window; past the input's end it holds silence.
    const int64_t avail = std::clamp<int64_t>(incount - inpos, 0, kWindow - xread);
    if (avail > 0) std::memcpy(x.data() + xread, in + inpos, static_cast<size_t>(avail) * sizeof(int16_t));
    std::fill(x.begin() + xread + avail, x.begin() + kWindow, int16_t{0});
    inpos += kWindow - xread;

    // window[xoff] is input index `centre`; instants more than xoff samples past the input's end
    // cannot see any of it, so conversion stops there.
    const int64_t centre = inpos - kWindow + xoff;
    const int64_t left = static_cast<int64_t>(incount) + xoff - centre;
    if (left <= 0) break;
    const auto nx = static_cast<int32_t>(std::min<int64_t>(nxfull, left));

    const int32_t made =
        interpolate ? convertblock<true>(c, table, phase, x.data(), time, nx, out + total, outcount - total)
                    : convertblock<false>(c, table, phase, x.data(), time, nx, out + total, outcount - total);
    total += made;
    AUREX_progress(static_cast<int>(static_cast<int64_t>(total) * 100 / outcount));
    if (total >= outcount) break;

    // Slide the window by the samples converted plus any whole samples the time crept beyond
    // them, keeping the xoff samples either side of the new start.
    time -= static_cast<uint32_t>(nx) << kNp;
    const int32_t creep = static_cast<int32_t>(time >> kNp) - xoff;
    time -= static_cast<uint32_t>(creep) << kNp;
    const int32_t shift = nx + creep;
    std::memmove(x.data(), x.data() + shift, static_cast<size_t>(kWindow - shift) * sizeof(int16_t));
    xread = kWindow - shift;  // inpos, one past the window's old end, is now window[xread]
  }
  return total;
}
