// CD-ROM XA audio: 2336-byte sector payloads (Mode 2 Form 2 without sync and header) of 18 sound
// groups, each group winding eight 28-sample XA units together.
#pragma once

#include <cstdint>

#include "quillon/codecs/xa.h"

constexpr int CDXA_SECTORBYTES = 2336;
constexpr int CDXA_UNITS = 144;
constexpr int CDXA_SECTORSAMPLES = CDXA_UNITS * XA_FRAMESAMPLES;  // mono; half as many stereo pairs
constexpr int CDXA_FILENUMBER = 1;
constexpr int CDXA_CHANNEL = 1;
constexpr int CDXA_SUBMODE = 0x64;

// Coding byte of the subheader: bit 0 stereo, bit 2 the 18900 Hz rate (else 37800 Hz).
constexpr uint8_t cdxa_codingbyte(bool stereo, bool rate18900) {
  return static_cast<uint8_t>((stereo ? 1 : 0) | (rate18900 ? 4 : 0));
}

// Samples per channel that one sector holds.
constexpr int32_t cdxa_sectorsamples(int channels) {
  return channels == 2 ? CDXA_SECTORSAMPLES / 2 : CDXA_SECTORSAMPLES;
}

// Encodes up to one sector's samples per channel (`right` null for mono) into `out`; missing
// samples are zero. The states carry each channel's encoder history to the next sector.
void cdxa_encodesector(const int16_t* left, const int16_t* right, int32_t count, uint8_t coding,
                       XA_ENCSTATE* leftstate, XA_ENCSTATE* rightstate, uint8_t out[CDXA_SECTORBYTES]);

// Decodes one sector into a sector's samples per channel (`right` unused for mono). `history`
// holds the last two decoded samples of the left and then the right channel.
void cdxa_decodesector(const uint8_t in[CDXA_SECTORBYTES], bool stereo, int16_t history[4], int16_t* left,
                       int16_t* right);
