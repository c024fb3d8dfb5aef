// SIMD paths of the MPEG synthesis filter bank (SSE2, and AVX2 with FMA). Only the functions here
// are compiled for those instruction sets, through target attributes, so the rest of the library
// stays baseline x86-64; which one runs is decided once at run time from the processor's features.
#include "quillon/codecs/mpegdec_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace mpegdec {

bool cpu_has_sse2() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("sse2"));
  return has;
}

bool cpu_has_avx2() {
  static const bool has =
      (__builtin_cpu_init(), __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"));
  return has;
}

namespace {

// Stores 32 sums as 16-bit samples: rounded to nearest, limited to the 16-bit range before the
// conversion so that nothing wraps (NaN becomes -32768).
__attribute__((target("sse2"))) inline void store_pcm_sse2(const __m128* acc, int16_t* o, int stride) {
  const __m128 lo = _mm_set1_ps(-32768.0f), hi = _mm_set1_ps(32767.0f);
  alignas(16) int16_t tmp[32];
  for (int r = 0; r < 8; r += 2) {
    const __m128 a = _mm_min_ps(_mm_max_ps(acc[r], lo), hi);
    const __m128 b = _mm_min_ps(_mm_max_ps(acc[r + 1], lo), hi);
    _mm_store_si128(reinterpret_cast<__m128i*>(tmp + 4 * r),
                    _mm_packs_epi32(_mm_cvtps_epi32(a), _mm_cvtps_epi32(b)));
  }
  if (stride == 1) {
    std::memcpy(o, tmp, sizeof tmp);
  } else {
    for (int j = 0; j < 32; ++j) o[j * stride] = tmp[j];
  }
}

// synth_expand on vectors: the DCT outputs interleaved (x[2i] = even, x[2i+1] = odd) and laid out
// as v[0..15] = x[16..31], v[16] = 0, v[17..47] = -x[31..1], v[48..63] = -x[0..15].
__attribute__((target("avx2,fma"))) inline void expand_avx2(__m256 e_lo, __m256 e_hi, __m256 o_lo,
                                                            __m256 o_hi, float* v) {
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  const __m256 a0 = _mm256_unpacklo_ps(e_lo, o_lo), b0 = _mm256_unpackhi_ps(e_lo, o_lo);
  const __m256 a1 = _mm256_unpacklo_ps(e_hi, o_hi), b1 = _mm256_unpackhi_ps(e_hi, o_hi);
  // x[0..7], x[8..15], x[16..23], x[24..31]
  const __m256 x0 = _mm256_permute2f128_ps(a0, b0, 0x20), x1 = _mm256_permute2f128_ps(a0, b0, 0x31);
  const __m256 x2 = _mm256_permute2f128_ps(a1, b1, 0x20), x3 = _mm256_permute2f128_ps(a1, b1, 0x31);
  // -x[31..0] into v[17..48]; v[48] = -x[0] is also the first of the last block.
  _mm256_storeu_ps(v + 17, _mm256_xor_ps(_mm256_permutevar8x32_ps(x3, reverse), sign));
  _mm256_storeu_ps(v + 25, _mm256_xor_ps(_mm256_permutevar8x32_ps(x2, reverse), sign));
  _mm256_storeu_ps(v + 33, _mm256_xor_ps(_mm256_permutevar8x32_ps(x1, reverse), sign));
  _mm256_storeu_ps(v + 41, _mm256_xor_ps(_mm256_permutevar8x32_ps(x0, reverse), sign));
  _mm256_store_ps(v, x2);
  _mm256_store_ps(v + 8, x3);
  _mm256_store_ps(v + 48, _mm256_xor_ps(x0, sign));
  _mm256_store_ps(v + 56, _mm256_xor_ps(x1, sign));
  v[16] = 0.0f;
}

}  // namespace

__attribute__((target("sse2"))) void synth_sse2(SynthChannel& ch, const float* in, int blocks, int16_t* out,
                                                int stride) {
  const SynthTables& t = synth_tables();
  for (int b = 0; b < blocks; ++b) {
    const float* s = in + 32 * b;
    __m128 xe[4], xo[4];
    for (int r = 0; r < 4; ++r) xe[r] = xo[r] = _mm_setzero_ps();
    for (int k = 0; k < 16; ++k) {
      const __m128 a = _mm_set1_ps(s[k] + s[31 - k]), d = _mm_set1_ps(s[k] - s[31 - k]);
      for (int r = 0; r < 4; ++r) {
        xe[r] = _mm_add_ps(xe[r], _mm_mul_ps(_mm_load_ps(t.even[k] + 4 * r), a));
        xo[r] = _mm_add_ps(xo[r], _mm_mul_ps(_mm_load_ps(t.odd[k] + 4 * r), d));
      }
    }
    alignas(16) float es[16], os[16];
    for (int r = 0; r < 4; ++r) {
      _mm_store_ps(es + 4 * r, xe[r]);
      _mm_store_ps(os + 4 * r, xo[r]);
    }
    ch.pos = (ch.pos + 15) & 15;
    synth_expand(es, os, ch.v[ch.pos]);
    __m128 acc[8];
    for (auto& r : acc) r = _mm_setzero_ps();
    for (int age = 0; age < 16; ++age) {
      const float* v = ch.v[(ch.pos + age) & 15] + (age & 1) * 32;
      const float* w = t.window[age];
      for (int r = 0; r < 8; ++r)
        acc[r] = _mm_add_ps(acc[r], _mm_mul_ps(_mm_load_ps(v + 4 * r), _mm_load_ps(w + 4 * r)));
    }
    store_pcm_sse2(acc, out + static_cast<ptrdiff_t>(b) * 32 * stride, stride);
  }
}

__attribute__((target("avx2,fma"))) void synth_avx2(SynthChannel& ch, const float* in, int blocks,
                                                    int16_t* out, int stride) {
  const SynthTables& t = synth_tables();
  for (int b = 0; b < blocks; ++b) {
    const float* s = in + 32 * b;
    // Two sets of accumulators (k even / odd) halve the dependency chains.
    __m256 e0 = _mm256_setzero_ps(), e1 = e0, o0 = e0, o1 = e0, e2 = e0, e3 = e0, o2 = e0, o3 = e0;
    // a[k] = s[k] + s[31 - k] and d[k] = s[k] - s[31 - k], sixteen at a time.
    alignas(32) float sum[16], dif[16];
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    const __m256 lo0 = _mm256_loadu_ps(s), lo1 = _mm256_loadu_ps(s + 8);
    const __m256 hi0 = _mm256_permutevar8x32_ps(_mm256_loadu_ps(s + 24), reverse);
    const __m256 hi1 = _mm256_permutevar8x32_ps(_mm256_loadu_ps(s + 16), reverse);
    _mm256_store_ps(sum, _mm256_add_ps(lo0, hi0));
    _mm256_store_ps(sum + 8, _mm256_add_ps(lo1, hi1));
    _mm256_store_ps(dif, _mm256_sub_ps(lo0, hi0));
    _mm256_store_ps(dif + 8, _mm256_sub_ps(lo1, hi1));
    for (int k = 0; k < 16; k += 2) {
      const __m256 a0 = _mm256_broadcast_ss(sum + k), d0 = _mm256_broadcast_ss(dif + k);
      const __m256 a1 = _mm256_broadcast_ss(sum + k + 1), d1 = _mm256_broadcast_ss(dif + k + 1);
      e0 = _mm256_fmadd_ps(_mm256_load_ps(t.even[k]), a0, e0);
      e1 = _mm256_fmadd_ps(_mm256_load_ps(t.even[k] + 8), a0, e1);
      o0 = _mm256_fmadd_ps(_mm256_load_ps(t.odd[k]), d0, o0);
      o1 = _mm256_fmadd_ps(_mm256_load_ps(t.odd[k] + 8), d0, o1);
      e2 = _mm256_fmadd_ps(_mm256_load_ps(t.even[k + 1]), a1, e2);
      e3 = _mm256_fmadd_ps(_mm256_load_ps(t.even[k + 1] + 8), a1, e3);
      o2 = _mm256_fmadd_ps(_mm256_load_ps(t.odd[k + 1]), d1, o2);
      o3 = _mm256_fmadd_ps(_mm256_load_ps(t.odd[k + 1] + 8), d1, o3);
    }
    ch.pos = (ch.pos + 15) & 15;
    expand_avx2(_mm256_add_ps(e0, e2), _mm256_add_ps(e1, e3), _mm256_add_ps(o0, o2), _mm256_add_ps(o1, o3),
                ch.v[ch.pos]);
    __m256 a[8];
    for (auto& r : a) r = _mm256_setzero_ps();
    for (int age = 0; age < 16; age += 2) {
      const float* v0 = ch.v[(ch.pos + age) & 15];
      const float* v1 = ch.v[(ch.pos + age + 1) & 15] + 32;
      const float* w0 = t.window[age];
      const float* w1 = t.window[age + 1];
      for (int r = 0; r < 4; ++r) {
        a[r] = _mm256_fmadd_ps(_mm256_load_ps(v0 + 8 * r), _mm256_load_ps(w0 + 8 * r), a[r]);
        a[r + 4] = _mm256_fmadd_ps(_mm256_load_ps(v1 + 8 * r), _mm256_load_ps(w1 + 8 * r), a[r + 4]);
      }
    }
    __m128 sums[8];
    for (int r = 0; r < 4; ++r) {
      const __m256 sum = _mm256_add_ps(a[r], a[r + 4]);
      sums[2 * r] = _mm256_castps256_ps128(sum);
      sums[2 * r + 1] = _mm256_extractf128_ps(sum, 1);
    }
    store_pcm_sse2(sums, out + static_cast<ptrdiff_t>(b) * 32 * stride, stride);
  }
}

// AVX2 without FMA: the compiler may not fuse the products into the sums, which keeps the bits of
// the SSE2 path. Rows of 20: two 8-wide accumulators and one 4-wide.
__attribute__((target("avx2"))) void imdct36_avx2(const float* x, const float (*cos36)[20], float* acc) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0;
  __m128 a2 = _mm_setzero_ps();
  for (int k = 0; k < 18; ++k) {
    const __m256 xk = _mm256_set1_ps(x[k]);
    const float* c = cos36[k];
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(_mm256_loadu_ps(c), xk));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(_mm256_loadu_ps(c + 8), xk));
    a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_load_ps(c + 16), _mm256_castps256_ps128(xk)));
  }
  _mm256_store_ps(acc, a0);
  _mm256_store_ps(acc + 8, a1);
  _mm_store_ps(acc + 16, a2);
}

}  // namespace mpegdec

#endif
