// Preview playback: a 200 KB engine arena, the arena reverb on effect slot 0, one stream player
// for 2 items and 15 voice buffers with a 32 KB chunk ring, and a wait loop that runs the
// synchronous tasks (where the player moves chunks) and the caller's pump until the file ends.
#include "quillon/engine/previewplay.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "quillon/engine/audio.h"
#include "quillon/engine/audiostream.h"
#include "quillon/runtime/diag.h"
#include "quillon/runtime/timer.h"

namespace {

constexpr int32_t kArenaSize = 204800;
constexpr int kItems = 2;
constexpr int kBuffers = 15;
constexpr int32_t kRingSize = 0x8000;
constexpr int kReturnLevel = 100;
constexpr int kFullLevel = 127;

PREVIEW_PROGRESSFN g_progress = nullptr;
PREVIEW_STATUSFN g_status = nullptr;
PREVIEW_PUMPFN g_pump = nullptr;
std::atomic<bool> g_stop{false};
bool g_started = false;
void* g_arena = nullptr;
void* g_playermem = nullptr;
int g_streamfault = 0;

void status(const char* text) {
  if (g_status) g_status(text);
}

void progress(int percent) {
  if (g_progress) g_progress(percent);
}

// A stream file with a bad chunk is the user's file, not a fault of the program: the data stream
// stops at it, and the player ends the item as corrupt, which the preview reports.
int keepinvalidchunk(const char* text) {
  return std::string_view(text).starts_with("STREAM - invalid chunk") ? 0 : 1;
}

// Ends with the cleanup on every path.
int finish(int result) {
  preview_cleanup();
  return result;
}

// Sleeps to about the next timer tick: the tasks run at most once per tick, so a tighter loop
// would only burn the processor.
void awaittick() {
  const int frequency = TIMER_frequency();
  std::this_thread::sleep_for(std::chrono::microseconds(1000000 / (frequency > 0 ? frequency : 100)));
}

}  // namespace

void preview_setprogress(PREVIEW_PROGRESSFN fn) {
  g_progress = fn;
}

void preview_setstatus(PREVIEW_STATUSFN fn) {
  g_status = fn;
}

void preview_setpump(PREVIEW_PUMPFN fn) {
  g_pump = fn;
}

void preview_cancel() {
  g_stop = true;
}

int preview_streamfault() {
  return g_streamfault;
}

void preview_cleanup() {
  // AUDIO_shutdown also destroys the player, whose memory and the arena go only after it.
  if (g_started) AUDIO_shutdown();
  g_started = false;
  std::free(g_playermem);
  std::free(g_arena);
  g_playermem = g_arena = nullptr;
  g_stop = false;
  FAULT_setfilter(nullptr);
}

int preview_ditty(const char* path, const unsigned char* reverb, size_t reverbsize) {
  g_streamfault = 0;
  status("Initialising audio...");
  g_arena = std::malloc(kArenaSize);
  if (!g_arena) return finish(PREVIEW_OUTOFMEMORY);
  // The program keeps its own signal handling (Ctrl-C as Cancel, termination as usual): the
  // audio library would otherwise take SIGINT and SIGTERM over for events nobody reads.
  setenv("SDL_NO_SIGNAL_HANDLERS", "1", 0);
  // Without the tick timer the synchronous tasks never run and nothing would ever play.
  if (TIMER_frequency() == 0 || AUDIO_attach() < 0 || AUDIO_init(g_arena, kArenaSize) < 0)
    return finish(PREVIEW_AUDIOFAILED);
  // From here the engine runs in the arena: whatever fails next, it is shut down before the
  // arena is freed.
  g_started = true;
  if (!reverb || reverbsize == 0) return finish(PREVIEW_NOREVERB);
  if (AUDIO_setfx(0, kReturnLevel, 1, reverb, reverbsize, -1, -1) < 0) return finish(PREVIEW_AUDIOFAILED);

  AUDIOSTREAMPARAMS params;
  AUDIOSTREAM_defaults(&params);
  params.volume = kFullLevel;
  params.send = kFullLevel;
  const int32_t size = AUDIOSTREAM_memsize(kItems, kBuffers) + kRingSize;
  g_playermem = std::malloc(static_cast<size_t>(size));
  if (!g_playermem) return finish(PREVIEW_OUTOFMEMORY);
  const int player = AUDIOSTREAM_create(&params, kItems, kBuffers, g_playermem, size);
  if (player < 0) return finish(PREVIEW_AUDIOFAILED);
  AUDIOSTREAM_setvolume(player, kFullLevel);
  g_stop = false;
  FAULT_setfilter(keepinvalidchunk);
  const int item = path ? AUDIOSTREAM_playfile(player, 0, path, 0) : AUDIOSTREAM_ERR;
  if (item < 0) return finish(PREVIEW_AUDIOFAILED);
  status("Playing...");

  int32_t length = 0;
  bool ended = false;
  while (!g_stop) {
    AUDIOSTREAMSTATUS s;
    const int rc = AUDIOSTREAM_status(item, &s);
    if (rc < 0 || s.state == 3) {
      // A stream that stopped on bad data never plays to its end: it ends here as a failure.
      if (rc == AUDIOSTREAM_ECORRUPT || rc == AUDIOSTREAM_EUNSUPPORTED) {
        g_streamfault = rc;
        return finish(PREVIEW_AUDIOFAILED);
      }
      g_stop = ended = true;
    }
    SYNCTASK_run(nullptr);
    if (g_pump) g_pump();
    if (length == 0 && s.remaining > 0) length = s.remaining;
    // The item is gone before its position reaches the length: its end is the full bar.
    if (length > 0)
      progress(ended ? 100 : static_cast<int>(std::min<int64_t>(int64_t{s.position} * 100 / length, 100)));
    if (!g_stop) awaittick();
  }
  status("Done");
  return finish(PREVIEW_OK);
}
