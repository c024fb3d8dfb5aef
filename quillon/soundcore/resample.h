// Sample-rate conversion of one channel of 16-bit PCM by bandlimited interpolation, in fixed
// point, over a windowed-sinc filter table.
#pragma once

#include <cstdint>

// Converts `incount` samples of `in` to `outcount` samples of `out` at `factor` = new rate / old
// rate (outcount is normally trunc(factor x incount)). `interpolate` non-zero interpolates
// between neighbouring filter coefficients. Returns the number of samples written (samples the
// input cannot reach are left untouched), or 0 after storing the reason as the last error.
// Reports progress through AUREX_progress after each 4096-sample window. Never allocates: its
// window and tap layout (about 44 KB) live on the stack.
int32_t AUREX_resample(double factor, const int16_t* in, int32_t incount, int16_t* out, int32_t outcount,
                       int interpolate);

namespace aurex {

// The filter's layout and fixed-point scaling.
inline constexpr int kResampleNwing = 8192;   // coefficients in the one stored wing
inline constexpr int kResampleNpc = 256;      // coefficients per zero crossing
inline constexpr int kResampleNmult = 65;     // zero crossings spanned by the whole filter
inline constexpr int kResampleLpScl = 14008;  // unity-gain scale of the table's coefficient sum

// One wing of the low-pass filter (kResampleNwing entries, peak 32767, last entry 0) and the
// differences of neighbouring coefficients (entry i = coefficient i+1 - coefficient i, last 0).
const int16_t* resamplefilter();
const int16_t* resamplefilterdeltas();

}  // namespace aurex
