// MPEG audio Layer 1 and Layer 2 encoder (MPEG-1 and the lower sampling rates): 16-bit PCM
// channels in, a constant bit rate stream of frames out to a byte sink.
#pragma once

#include <cstdint>

// Receives the encoded bytes in order, in pieces of 4096 bytes (the last one may be shorter);
// returns 1 when all n bytes were taken, 0 on failure, which ends the encode.
typedef int (*mpegenc_writefn)(void* context, const uint8_t* data, int32_t n);

struct mpegenc_sink {
  mpegenc_writefn write;
  void* context;
};

// Percentage 0..100 of the frames encoded; may be null.
typedef void (*mpegenc_progressfn)(int percent);

// MPEG version forced by the caller; the default takes it from the sample rate.
enum mpegenc_version { MPEGENC_VERSION_AUTO = 0, MPEGENC_VERSION_MPEG1 = 1, MPEGENC_VERSION_LSF = 2 };

// The settings of one encode, checked by mpegenc_checkparams.
struct mpegenc_params {
  int layer;        // 1 or 2
  int version;      // mpegenc_version
  int samplerate;   // Hz
  int bitrate;      // bits per second; bitrate / 1000 must be a bit rate of the layer and version
  int numchannels;  // 1 (single channel) or 2 (stereo)
};

// Validates the settings without writing anything. Returns 1 when they can be encoded, else 0 with
// *message (when message is not null) set to a static text.
int mpegenc_checkparams(const mpegenc_params* params, const char** message);

// The same for a layer, rate and bit rate with the version taken from the rate, for one channel.
int mpegenc_check(int layer, int samplerate, int bitrate, const char** message);

// Bytes the frames of one encode take: numframes frames of the layer (padding included).
int64_t mpegenc_streambytes(const mpegenc_params* params, int32_t numsamples);

// Encodes numsamples samples of each of numchannels channels (channels[c][i]); a partial last frame
// is completed with silence. Returns 1 on success, 0 with *message set on failure; nothing is
// written when the settings are rejected.
int mpegenc_encodeparams(const mpegenc_params* params, const int16_t* const* channels, int32_t numsamples,
                         const mpegenc_sink* sink, mpegenc_progressfn progress, const char** message);

int mpegenc_encode(int layer, int samplerate, int bitrate, int numchannels, const int16_t* const* channels,
                   int32_t numsamples, const mpegenc_sink* sink, mpegenc_progressfn progress,
                   const char** message);

// Sink writer appending to the std::vector<uint8_t> given as the context.
int mpegenc_vectorwrite(void* context, const uint8_t* data, int32_t n);
