// The sample import and export engines: move sample data between a file (or memory) in any
// representation and a timbre's 16-bit channel buffers, with the codec states that carry
// predictor history from one call to the next.
#pragma once

#include <cstdint>

#include "quillon/codecs/dvi.h"
#include "quillon/codecs/parlet.h"
#include "quillon/codecs/xa.h"
#include "quillon/soundcore/sinfo.h"

struct gfile;

// Export flags a container hands to the exporters.
enum : int {
  AUREX_EXPORT_CHANNELPREFIX = 0x40,  // 4-byte codec history before each channel, even padding
  AUREX_EXPORT_PREFIXBIGENDIAN = 0x02,
  AUREX_EXPORT_STREAM = 0x1000,  // the data continues across calls: VAG without lead-in or end frame
};

// One channel's codec state; four per file being read or written.
struct AUREX_COMPSTATE {
  XA_ENCSTATE xa;         // QV-XA encoder history
  int16_t xaprev1;        // QV-XA decoder: last decoded sample
  int16_t xaprev2;        // and the one before it
  int32_t wholeprogress;  // set: only channel 0 reports progress, over the whole sound
  int32_t filepos;        // block codecs that resume at a file position
  int32_t leftover;       // samples decoded ahead by frame-based codecs
  DVI_STATE dvi;          // DVI predictor and step index
  PARLET_DECODER parlet;  // Parlet decoder between reads
  PARLET_ENCODER parletenc;
};

constexpr int AUREX_NUMCOMPSTATES = 4;

// Allocates and zeroes four states; on failure frees those made, reports and returns 0.
int AUREX_alloccompstates(AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES]);
// Clears the codec history of one state (the progress mark stays).
void AUREX_initcompstate(AUREX_COMPSTATE* state);
// Frees the four states and clears the pointers.
void AUREX_freecompstates(AUREX_COMPSTATE* states[AUREX_NUMCOMPSTATES]);

// Decodes frames first..first+count-1 of `channels` channels stored as `samplerep` into
// buffers[c][first..]. positions[c]: where channel c's data starts (0 = current position;
// interleaved data uses entry 0). Returns 1, or 0 after reporting.
int isimportsamples(gfile* file, const int32_t* positions, int32_t startframedisk, int32_t first,
                    int32_t count, int channels, int samplerep, AUREX_COMPSTATE** states, int16_t** buffers);

// Encodes frames first..first+count-1 of the timbre in its samplerep, to `sink` or, when it is
// null, to `mem`. offsets (may be null) receives each channel's start relative to the export.
// Returns 1, or 0 after reporting.
int isexportsamples(gfile* sink, uint8_t* mem, int32_t first, int32_t count, int flags,
                    AUREX_COMPSTATE** states, int32_t* offsets, const STIMBRE* timbre);

// Exports frames 0..count-1 into a new galloc block (*out, owned by the caller); the byte
// count, or 0 on failure.
int32_t ismemexportsamples(uint8_t** out, int32_t count, int flags, AUREX_COMPSTATE** states,
                           int32_t* offsets, const STIMBRE* timbre);

// Bytes the memory exporter needs for `frames` frames, or 0 after reporting.
int32_t AUREX_estimatesize(int32_t frames, int samplerep, int channels);

// Exports into caller memory of `capacity` bytes: the byte count, or -1 after reporting.
// The stream writers build whole chunks in memory with it.
int32_t isexportsamplesto(uint8_t* mem, int32_t capacity, int32_t first, int32_t count, int flags,
                          AUREX_COMPSTATE** states, int32_t* offsets, const STIMBRE* timbre);

// ---- MPEG audio frames ------------------------------------------------------------------------
// The frame walker shared by the MPEG format module and the MPEG sample reader.

// What the walker learns from one 32-bit frame header.
struct MPEG_FRAME {
  int layer;       // 1..3
  int channels;    // 1 for single channel mode, else 2
  int samplerate;  // Hz
  int samples;     // samples per channel in the frame
};

// Length of the frame after its 4 header bytes, or 0 when `header` (the big-endian word) is not an
// acceptable frame header; fills *frame (may be null) when it is.
int32_t mpeg_framelength(uint32_t header, MPEG_FRAME* frame);

// The result of walking frames: how many, their samples per channel, the bytes they take and the
// last frame's facts (all zero when no frame was found).
struct MPEG_WALK {
  int64_t frames;
  int64_t samples;
  int64_t bytes;
  MPEG_FRAME last;
};

// Walks frames from file offset `start` while headers are acceptable and frames lie whole inside
// the file. With `stopsamples` > 0 the walk ends after the frame that brings the sample total to at
// least that many.
MPEG_WALK mpeg_walk(gfile* file, int32_t start, int64_t stopsamples);
