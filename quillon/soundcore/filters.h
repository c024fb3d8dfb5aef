// Sound filters: in-place changes to the 16-bit sample data and timing fields of a timbre
// (fades, clipping, loop trimming, channel operations, volume, sample-rate conversion). Each
// "sound" call works on one timbre; the matching "sinfo" call applies it to timbres
// 0..numtimbres-1 in order and stops at the first that fails. Calls return 1 on success and 0
// on failure after storing the message as the last error (a few fail without a message, as
// noted). A length-changing filter that fails for want of memory or of a usable rate leaves its
// timbre as it was.
#pragma once

#include <cstdint>

#include "quillon/soundcore/sinfo.h"

// Linear ramps over the first / last trunc(samplerate x ms / 1000) frames (at most the whole
// sound): the fade-in starts at 0 and reaches full level at the ramp's end, the fade-out ends at 0.
int AUREX_filterfadeinsound(STIMBRE* timbre, int32_t ms);
int AUREX_filterfadeinsinfo(SINFO* info, int32_t ms);
int AUREX_filterfadeoutsound(STIMBRE* timbre, int32_t ms);
int AUREX_filterfadeoutsinfo(SINFO* info, int32_t ms);

// Keeps `length` frames from frame `start` (negative: silence in front; beyond the end: silence
// behind). Loop points move with the data and are cleared when they fall outside. A timbre held
// encoded is left as it is (1); a length not above 0 fails without a message.
int AUREX_filterclipsound(STIMBRE* timbre, int32_t start, int32_t length);
int AUREX_filterclipsinfo(SINFO* info, int32_t start, int32_t length);

// Pads silence in front so the loop starts on a 28-frame block, and behind so the length is a
// whole number of blocks.
int AUREX_filteralignloopsound(STIMBRE* timbre);
int AUREX_filteralignloopsinfo(SINFO* info);

// For vag_blk timbres: drops a silent first block, and a silent last block when there is no loop.
// 0 for other representations (without a message).
int AUREX_filtertrimsilentblocks(STIMBRE* timbre);

// Cuts what follows the loop end, keeping the length a multiple of `blocksize` (0: no rounding).
int AUREX_filtertruncateloopendsound(STIMBRE* timbre, int32_t blocksize);
int AUREX_filtertruncateloopendsinfo(SINFO* info, int32_t blocksize);

// Keeps only the loop of every looping timbre.
int AUREX_filtertruncateloopsectionsinfo(SINFO* info);

// Converts to `rate` frames per second; loop points scale with the data.
int AUREX_filterresamplesound(STIMBRE* timbre, int32_t rate);
int AUREX_filterresamplesinfo(SINFO* info, int32_t rate);

// Lowers the rate so the sound has at most `maxframes` frames.
int AUREX_filterdownsampletofitsound(STIMBRE* timbre, int32_t maxframes);
int AUREX_filterdownsampletofitsinfo(SINFO* info, int32_t maxframes);

// Averages all channels into one.
int AUREX_filtermixdownsound(STIMBRE* timbre);
int AUREX_filtermixdownsinfo(SINFO* info);

// Keeps channel `track` alone, as channel 0 (unchanged when there is no such channel).
int AUREX_filterkeeptracksound(STIMBRE* timbre, int32_t track);
int AUREX_filterkeeptracksinfo(SINFO* info, int32_t track);

// Scales every sample by percent / 100, clamped to 16 bits.
int AUREX_filtervolumesound(STIMBRE* timbre, int32_t percent);
int AUREX_filtervolumesinfo(SINFO* info, int32_t percent);

// Replaces every sample s of channel `track` with -s - 1.
int AUREX_filterinverttracksound(STIMBRE* timbre, int32_t track);

// Appends a copy of channel `track` as a new last channel.
int AUREX_filterreplicate1tracksound(STIMBRE* timbre, int32_t track);

// Moves the last channel of a single-timbre sound into a new SINFO (returned; freed by the
// caller with AUREX_freesinfo) and drops it from `info`; null on failure. The new record owns its
// own copies of the timbre's user data and parameter blocks, and the moved channel's codec blocks.
SINFO* AUREX_filtersplitsinfo(SINFO* info);
