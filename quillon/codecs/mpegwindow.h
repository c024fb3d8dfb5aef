// The window of the MPEG audio polyphase filter banks (ISO/IEC 11172-3), shared by the synthesis
// of the decoder and the analysis of the encoder.
#pragma once

#include <cstdint>

// Base half h[0..256] of the 512-tap window in units of 2^-16 of the synthesis window (2^-21 of
// the analysis window); the rest follows from h[512 - i] = h[i].
extern const int32_t mpeg_window_prototype[257];
