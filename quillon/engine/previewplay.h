// Preview playback: plays one stream file through the engine with the arena reverb, on the
// caller's thread, until the file has played or the caller cancels. The caller's pump keeps its
// user interface alive meanwhile; the engine's output thread and the file system's device
// threads do the real-time work.
#pragma once

#include <cstddef>

// Results of preview_ditty.
enum : int {
  PREVIEW_OK = 0,  // played to the end, or cancelled
  PREVIEW_AUDIOFAILED =
      -1,  // engine, reverb, player or play request failed, or the stream could not be played
  PREVIEW_OUTOFMEMORY = -2,
  PREVIEW_NOREVERB = -3,  // no reverb parameter block
};

using PREVIEW_PROGRESSFN = void (*)(int percent);
using PREVIEW_STATUSFN = void (*)(const char* text);
using PREVIEW_PUMPFN = void (*)();

// Plays the stream file at `path` with the reverb parameter block. Needs the tick timer and the
// file system running. The engine is shut down and all memory released before it returns.
int preview_ditty(const char* path, const unsigned char* reverb, size_t reverbsize);
// Callbacks (null: not reported). The pump runs once per pass of the wait loop.
void preview_setprogress(PREVIEW_PROGRESSFN fn);
void preview_setstatus(PREVIEW_STATUSFN fn);
void preview_setpump(PREVIEW_PUMPFN fn);
// Ends the playing preview after its current pass. Safe from any thread.
void preview_cancel();
// Stops the engine if the preview started it and releases its memory; safe at any time.
void preview_cleanup();
// Why the last preview's stream stopped playing when that gave PREVIEW_AUDIOFAILED: the stream
// player's AUDIOSTREAM_ECORRUPT or AUDIOSTREAM_EUNSUPPORTED; 0 otherwise.
int preview_streamfault();
