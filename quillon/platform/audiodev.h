// The audio device: a looping playback buffer with a play and a write cursor, written by region
// through lock/unlock and consumed by the sound system, and a looping capture buffer. Each
// backend is one file behind a table of operations; the engine owns the thread that keeps the
// playback buffer filled.
#pragma once

#include <cstdint>

// Results of the device operations; the engine passes them on unchanged.
inline constexpr int kAudioDevOk = 0;
inline constexpr int kAudioDevFailed = -1;
inline constexpr int kAudioDevNoDevice = -10;
inline constexpr int kAudioDevBusy = -18;

// Capability flags.
inline constexpr uint32_t kAudioDevEmulated = 0x20;  // cursors are estimated, not reported by hardware

struct AudioDevCaps {
  uint32_t flags;
  int hw3dbuffers;  // hardware-mixed positional voices
  int hwreverb;     // 1 when the device offers a listener reverb
};

// Buffer status bits.
inline constexpr uint32_t kAudioDevPlaying = 1;
inline constexpr uint32_t kAudioDevLost = 2;  // the device went away; restore before writing again

struct AudioDevFormat {
  int rate;
  int channels;
  int bits;  // 16 for playback; 8 or 16 for capture
};

struct AudioDevBuffer;   // one backend's playback buffer
struct AudioDevCapture;  // one backend's capture buffer

// One backend. Offsets, sizes and cursors are in bytes within the looping buffer.
struct AudioDevOps {
  const char* name;
  int (*probe)(AudioDevCaps* caps);
  int (*open)(const AudioDevFormat& format, uint32_t bytes, AudioDevBuffer** out);
  void (*close)(AudioDevBuffer* b);
  // Gives the region [offset, offset + bytes) as one or two pieces (the second across the end of
  // the buffer, null when there is none); the device does not read it until unlock.
  int (*lock)(AudioDevBuffer* b, uint32_t offset, uint32_t bytes, void** p1, uint32_t* n1, void** p2,
              uint32_t* n2);
  void (*unlock)(AudioDevBuffer* b);
  int (*play)(AudioDevBuffer* b);  // always looping
  int (*stop)(AudioDevBuffer* b);
  uint32_t (*status)(AudioDevBuffer* b);
  int (*restore)(AudioDevBuffer* b);
  void (*cursors)(AudioDevBuffer* b, uint32_t* play, uint32_t* write);
  int (*capopen)(const AudioDevFormat& format, uint32_t bytes, AudioDevCapture** out);
  void (*capclose)(AudioDevCapture* c);
  uint32_t (*capcursor)(AudioDevCapture* c);  // where the device will write next
  // Copies `bytes` from `offset` (wrapping at the end of the buffer) to dst.
  void (*capread)(AudioDevCapture* c, uint32_t offset, uint32_t bytes, void* dst);
};

extern const AudioDevOps audiodev_sdl;     // the sound system, through SDL2
extern const AudioDevOps audiodev_script;  // a device whose cursors a test moves by hand

// The backend the next probe or open uses (the SDL2 one until changed); null restores it.
void audiodev_select(const AudioDevOps* ops);
const AudioDevOps* audiodev_selected();

// The SDL2 backend's reading of a failed open: the device text says whether the device exists
// and whether another program holds it.
int audiodev_sdl_maperror(const char* message, int outputdevices);

// The scripted device. One playback buffer at a time; the state is shared with the thread that
// services the buffer, so every call may come from any thread.
struct AudioDevScript {
  int openresult;        // returned by probe and open (0 opens)
  uint32_t flags;        // capability flags reported by probe
  uint32_t play, write;  // cursors in bytes
  bool lost;             // status reports kAudioDevLost until restored
  int restores;          // restore calls so far
  int plays;             // play calls so far
  int locks;             // lock calls so far
};
// Resets the script to an open-able device at cursor 0.
void audiodev_script_reset();
// Copies the script out or back in (the buffer contents stay).
AudioDevScript audiodev_script_get();
void audiodev_script_set(const AudioDevScript& s);
// Copies `bytes` of the open buffer from `offset` (wrapping); false when no buffer is open.
bool audiodev_script_peek(uint32_t offset, uint32_t bytes, void* dst);
