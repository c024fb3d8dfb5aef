// The stream player: plays SND stream files (.asf) through the engine. A player lives in memory
// its caller gives it; it reads files through a data stream into a ring of chunks, starts one
// engine voice per channel at each header, and hands every data chunk's channel data to those
// voices in place. Up to 16 players; each queues several files (items) back to back. The
// chunk-moving pass runs as the engine's stream service (the synchronous tasks, on the client's
// thread); decoding runs on the engine's output thread. All operations return a value >= 0 on
// success and a negative code on failure; nothing is printed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quillon/engine/audio.h"

struct STREAM;

// Result codes (shared with the engine where they mean the same).
inline constexpr int AUDIOSTREAM_OK = 0;
inline constexpr int AUDIOSTREAM_ERR = -1;           // the data stream refused the request
inline constexpr int AUDIOSTREAM_ENOQUEUE = -6;      // no service slot for the player
inline constexpr int AUDIOSTREAM_EHANDLE = -8;       // bad player index or item handle
inline constexpr int AUDIOSTREAM_ENOFREE = -9;       // all 16 players in use
inline constexpr int AUDIOSTREAM_ENOTRUNNING = -10;  // the engine is not running
inline constexpr int AUDIOSTREAM_EITEMS = -13;       // all item slots taken
// Returned by AUDIOSTREAM_status (with state 3 in the result) for an item that ended because its
// data could not be played: the data stream met an invalid chunk (it then reads no further, and
// the items queued behind end the same way), the file ended before its end chunk (also a file
// that could not be opened), a data chunk claims more samples than its bytes can hold, or the
// header cannot be played (channel count outside 1..4, sample rate 0, a header chunk cut short).
inline constexpr int AUDIOSTREAM_ECORRUPT = -20;
// Returned by AUDIOSTREAM_status (with state 3) for an item whose header names a representation
// without a source in the engine (see AUDIOSTREAM_hassource).
inline constexpr int AUDIOSTREAM_EUNSUPPORTED = -21;

inline constexpr int AUDIOSTREAM_MAXPLAYERS = 16;
inline constexpr int AUDIOSTREAM_MAXCHANNELS = 4;

// Parameters of a player, filled by AUDIOSTREAM_defaults and copied at creation.
struct AUDIOSTREAMPARAMS {
  uint8_t volume;      // 127: initial fade level of the voices, 0..127
  uint8_t pitchbend;   // 64 = none
  uint8_t send;        // 127: effect send wanted towards slot 0
  uint8_t useazimuth;  // 0: non-zero uses `azimuth` instead of `pan`
  uint8_t pan;         // 64 centre, 0..127
  uint8_t spare1;      // 60, not used
  uint8_t spare2;      // 127, not used
  uint16_t azimuth;    // 0; 0x10000 = full circle
  uint16_t spare3;     // 0
  uint16_t ratemult;   // 4096 = 1.0
  uint16_t spare4;     // 4096
  uint16_t spare5;     // 4096
  uint16_t spare6;     // 0
  uint16_t lowpass;    // 0xFFFF Hz: at or above half the output rate no low-pass
  uint16_t highpass;   // 0 Hz = no high-pass
};

// What AUDIOSTREAM_status fills (16 bytes).
struct AUDIOSTREAMSTATUS {
  // 0 queued, no data at a voice yet; 1 queued behind the item being played; 2 being played;
  // 3 no longer known (played to the end, stopped, ended as corrupt, or never queued).
  int32_t state;
  int32_t position;   // ms played (states 1 and 2)
  int32_t remaining;  // ms to the header's total sample count
  int32_t buffered;   // ms waiting in the voice queue
};

// A parsed SCHl chunk.
struct AUDIOSTREAMHEADER {
  int32_t rate;          // Hz (tag 0x84, default 22050)
  int32_t channels;      // tag 0x82, default 1
  int32_t rep;           // sample representation (tag 0xA0, default 10)
  int32_t priority;      // tag 0x06
  int32_t bendrange;     // semitones (tag 0x0A)
  int32_t reverb;        // reverb amount 0..127 (tag 0x13)
  int32_t revision;      // tag 0x80
  int32_t totalsamples;  // tag 0x85
  int32_t playflags;     // tag 0x8C, else from the flag bits of tag 0xA1
  int32_t datablocks;    // how many data blocks (tags 0x14, 0x98..0x9B) the header carries
  uint16_t direction[AUDIOSTREAM_MAXCHANNELS];  // per-channel offsets (tags 0x9C..0x9F)
};

// Bytes of caller memory for a player of `items` items and `buffers` voice buffers, not counting
// the data stream's ring, which the caller adds (at least STREAM_MINRING bytes).
int32_t AUDIOSTREAM_memsize(int items, int buffers);
int AUDIOSTREAM_defaults(AUDIOSTREAMPARAMS* params);
// Returns the player index 0..15, or -10, -9, -6, or -1 (memory too small or bad arguments).
int AUDIOSTREAM_create(const AUDIOSTREAMPARAMS* params, int items, int buffers, void* memory, int32_t size);
// As create, reading from the caller's data stream tap (which the player never kills or destroys).
int AUDIOSTREAM_createshared(const AUDIOSTREAMPARAMS* params, int items, int buffers, void* memory,
                             int32_t size, STREAM* tap);
int AUDIOSTREAM_destroy(int player);  // 0, -10, -8
// Queue a file from `offset`, or a stream image in memory (kept valid until played or stopped).
// Returns the item handle (player in bits 0-7, serial above, never negative; the serial starts at 256 and
// restarts at 0 after 2^23 files), or -10, -8, -13, -1. A pre-buffer time above 0 holds playback until that
// many ms of data are read; below 0 holds it until the player is stopped.
int AUDIOSTREAM_playfile(int player, int prebufferms, const char* path, int32_t offset);
int AUDIOSTREAM_playmem(int player, int prebufferms, const void* image);
// As playmem for an image of `length` bytes: nothing past them is read, whatever the chunk sizes
// say (playmem walks the image to its end chunk to find its length).
int AUDIOSTREAM_playmemlength(int player, int prebufferms, const void* image, int32_t length);
int AUDIOSTREAM_stop(int player);                           // 0, -10, -8
int AUDIOSTREAM_setvolume(int player, int volume);          // 0, -10, -8
int AUDIOSTREAM_setgreedylevel(int player, int32_t bytes);  // 0, -10, -8
// 0, -10, -8 (result zeroed), or AUDIOSTREAM_ECORRUPT / AUDIOSTREAM_EUNSUPPORTED with state 3.
int AUDIOSTREAM_status(int item, AUDIOSTREAMSTATUS* result);

// The player's pass over its data streams. The first player adds it to the engine's stream
// services, which the engine's synchronous task runs (AUDIO_attach, then SYNCTASK_run or
// SYNCTASK_wait on the client's thread); the last one removes it.
int AUDIOSTREAM_service();

// Parses an SCHl chunk (8-byte chunk header included, `size` bytes readable) with the player's
// defaults. Returns 0, or AUDIOSTREAM_ECORRUPT when it is not a header chunk, is cut short, or
// gives a channel count outside 1..4 or a sample rate of 0 (the header is still filled as far as
// it was read).
int AUDIOSTREAM_parseheader(const void* chunk, size_t size, AUDIOSTREAMHEADER* header);
// 1 when the engine has a source for the representation (4, 7, 8, 9, 10), else 0.
int AUDIOSTREAM_hassource(int rep);
