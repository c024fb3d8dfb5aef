// The sample engine's readers and writers for the console ADPCM representations (cdxa, vag_blk,
// n64_blk), kept beside samples.cpp, which selects them by samplerep.
#pragma once

#include <cstdint>

#include "quillon/soundcore/samples.h"

// Where an exporter's bytes go; put returns false after storing its own message.
struct AUREX_BYTESINK {
  bool (*put)(void* context, const uint8_t* data, int32_t n);
  void* context;
};

bool aurex_importcdxa(gfile* f, int32_t pos, int32_t first, int32_t count, int channels,
                      AUREX_COMPSTATE** states, int16_t** buffers);
bool aurex_importvag(gfile* f, const int32_t* positions, int32_t first, int32_t count, int channels,
                     AUREX_COMPSTATE** states, int16_t** buffers);

bool aurex_exportcdxa(const AUREX_BYTESINK& sink, int32_t first, int32_t count, AUREX_COMPSTATE** states,
                      const STIMBRE* t);
bool aurex_exportvag(const AUREX_BYTESINK& sink, int32_t first, int32_t count, int flags,
                     AUREX_COMPSTATE** states, int32_t* offsets, const STIMBRE* t);
bool aurex_exportn64(const AUREX_BYTESINK& sink, int32_t first, int32_t count, int32_t* offsets,
                     const STIMBRE* t);
