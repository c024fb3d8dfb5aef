// Ogg Vorbis on libogg and libvorbis: the probe of a file's first page, the walk that finds its
// length, decoding into 16-bit channel buffers, and encoding in the library's 44.1 kHz mode.
// Chained streams are one sound; more than two channels are mixed down to two.
#pragma once

#include <cstdint>

struct gfile;

constexpr int OGGVORBIS_MAXCHANNELS = 2;
constexpr int OGGVORBIS_BLOCKBYTES = 4096;  // file data handed to the sync layer at a time
constexpr int32_t OGGVORBIS_WRITERATE = 44100;

struct OGGVORBIS_FACTS {
  int channels;     // as delivered: at most OGGVORBIS_MAXCHANNELS
  int32_t rate;     // of the first stream
  int64_t samples;  // per channel, over every chained stream
};

// 1 when the first OGGVORBIS_BLOCKBYTES bytes at offset 0 hold a page that starts a Vorbis
// stream; fills `facts` (samples 0) when it is not null.
int oggvorbis_probe(gfile* file, OGGVORBIS_FACTS* facts);

// Walks every page from offset 0 to the end of the file. 1 with the facts, or 0 with *message.
int oggvorbis_scan(gfile* file, OGGVORBIS_FACTS* facts, const char** message);

// Decodes frames first..first+count-1 into buffers[0..channels-1] (channels 1 or 2), reading the
// file from offset 0. 1, or 0 with *message. `progress` (may be null) gets percentages.
int oggvorbis_decode(gfile* file, int32_t first, int32_t count, int channels, int16_t** buffers,
                     void (*progress)(int percent), const char** message);

// Where a second decoder can take over a stream: after the three headers it goes on at the page
// at `offset`, whose first packet is audio packet `packet` of the stream. That packet yields
// nothing in a fresh decoder, the next one `expect` samples from absolute sample `sample` on, and
// from then on the samples are those of one decoder over the whole stream.
struct OGGVORBIS_SPLIT {
  int32_t offset;
  int64_t packet;
  int64_t sample;
  int32_t expect;
};

// 1 with the first split at or after sample `at` of the file's bytes in memory; 0 when there is
// none that is sure to be exact (a chained or multiplexed stream, granules that disagree with the
// block sizes, the end of the stream before the split, damage).
int oggvorbis_plan_split(const uint8_t* data, int32_t size, int64_t at, OGGVORBIS_SPLIT* split);

// As oggvorbis_decode over the file's bytes in memory. With a split inside the read, the part
// from it on is decoded at the same time on a second thread (progress is still reported from this
// one). 2 when the split was used, 1 when one decoder did the read (no split, or a stream that
// did not keep to it: the samples are the same), 0 with *message.
int oggvorbis_decode_memory(const uint8_t* data, int32_t size, const OGGVORBIS_SPLIT* split, int32_t first,
                            int32_t count, int channels, int16_t** buffers, void (*progress)(int percent),
                            const char** message);

struct OGGVORBIS_SINK {
  int (*write)(void* context, const uint8_t* data, int32_t n);  // 1, or 0 after a failure
  void* context;
};

// Encodes `frames` frames of `channels` channels at `rate` (only OGGVORBIS_WRITERATE is
// accepted). The number of bytes written, or -1 with *message (null when the sink failed).
int64_t oggvorbis_encode(const int16_t* const* samples, int channels, int32_t rate, int32_t frames,
                         const OGGVORBIS_SINK* sink, void (*progress)(int percent), const char** message);
