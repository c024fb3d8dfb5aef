// The real-time audio engine: voices mixed in floating point through a chain of processing
// nodes, a control tick at 100 per second of output, the arena reverb, and the output driver
// that keeps the audio device's looping buffer filled. One engine per process; all of its
// memory comes from the arena its client hands to AUDIO_init. Operations return 0 or a handle
// on success and a negative code on failure; nothing is printed.
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes.
inline constexpr int AUDIO_OK = 0;
inline constexpr int AUDIO_ERR = -1;           // device or general failure
inline constexpr int AUDIO_ESERVICE = -6;      // stream service slot refused
inline constexpr int AUDIO_ECHANNELS = -7;     // too many channels for this kind of voice
inline constexpr int AUDIO_EHANDLE = -8;       // invalid handle
inline constexpr int AUDIO_ENOFREE = -9;       // no free entry
inline constexpr int AUDIO_ENOTRUNNING = -10;  // engine not running, or no sound device
inline constexpr int AUDIO_EQUEUEFULL = -13;
inline constexpr int AUDIO_EUNAVAILABLE = -15;
inline constexpr int AUDIO_EBUSY = -18;  // sound device held by another program

// Voice class flags.
inline constexpr uint8_t AUDIO_CLASS_SOFTWARE = 0x24;

struct AUDIOCONFIG {
  // Capabilities, from the device probe; AUDIO_setconfig leaves them as they are.
  uint16_t minrate;
  uint16_t maxrate;
  uint8_t minchannels;
  uint8_t maxchannels;
  uint8_t maxswvoices;
  uint8_t hw3dbuffers;
  uint8_t hwreverb;
  uint8_t classcount;
  uint8_t classes[3];
  // Settings, clamped by AUDIO_setconfig and AUDIO_init.
  uint16_t rate;
  uint8_t channels;
  uint8_t swvoices;
  uint8_t hwvoices;
  uint8_t hwreverbwanted;
  uint8_t speakerarray;
  uint8_t period;   // milliseconds between output passes, 1..200
  uint8_t quality;  // 50 or more: cubic interpolation in the resampler
  // Pan-law speaker azimuths (0x10000 = full circle, ascending) for 1..4 output channels, and
  // the speaker-array positions for 2..4 speakers; row n-1 holds the layout of n speakers.
  uint16_t azimuth[4][4];
  uint16_t arraypos[4][4];
  // Asked before each stream service pass; non-zero skips the pass.
  int (*streamgate)();
  // The control tick; AUDIO_tick unless the client sets its own.
  void (*tickhandler)();
};

int AUDIO_attach();
int AUDIO_init(void* arena, int32_t size);
int AUDIO_shutdown();
int AUDIO_isrunning();
int AUDIO_getconfig(AUDIOCONFIG* config);
int AUDIO_setconfig(const AUDIOCONFIG* config);

// Arena blocks: first fit, zero-filled, 4-byte aligned. A 0-byte request takes a 0-byte entry.
void* AUDIO_alloc(int32_t size);
int AUDIO_free(void* p);

// The engine lock; it nests.
void AUDIO_lock();
void AUDIO_unlock();

// The control tick: advances fades and envelopes and runs the per-tick hooks.
void AUDIO_tick();
// Ticks since the engine started.
uint32_t AUDIO_tickcount();

// Hooks of optional modules (the stream player): called with the engine lock held.
int AUDIO_addtickhook(void (*hook)());
int AUDIO_removetickhook(void (*hook)());
int AUDIO_setshutdownhook(int slot, void (*hook)());  // slot 0..3, run in slot order at shutdown
int AUDIO_addstreamservice(int (*service)());         // run by the engine's synchronous task
int AUDIO_removestreamservice(int (*service)());
void AUDIO_setservicehooks(void (*pre)(), void (*post)());  // around each output pass
// Called with the handle of a voice that ended by itself (end of data, fade or envelope), and
// with -1 when the engine shuts down.
void AUDIO_setendhook(void (*hook)(int handle));

// Voices. A voice of n channels takes n entries of the voice table; its handle names the first.
// Each channel pulls mono samples, scaled to the 16-bit range, from its source.
struct AUDIOSOURCE {
  // Fills up to `frames` samples of `channel`; fewer than asked means the data has ended.
  int (*pull)(void* context, int channel, float* out, int frames);
  void* context;
};

enum AUDIOVOICEPARAM {
  AUDIO_VOLUME,        // 0..127
  AUDIO_PAN,           // 0..127, 64 centre
  AUDIO_BEND,          // 0..127, 64 centre
  AUDIO_BENDRANGE,     // cents for a full bend
  AUDIO_BASEPITCH,     // cents
  AUDIO_RATEMULT,      // 4096 = 1.0
  AUDIO_DIRECTION,     // azimuth offset added to every channel's default direction
  AUDIO_SEND,          // effect send wanted, 0..127 (slot 0)
  AUDIO_REVERBAMOUNT,  // the sound's reverb amount, 0..127
  AUDIO_LOWPASS,       // cut-off in Hz, 0 = off
  AUDIO_HIGHPASS,      // cut-off in Hz, 0 = off
};

struct AUDIOENVSEG {
  int16_t level;  // 0..127
  int32_t ticks;  // negative holds the level
};

// Takes entries for a sound of `channels` channels at `rate` Hz with priority 0..101 (101 is
// never stolen); the voice is set up but silent until AUDIO_voiceplay.
int AUDIO_voicealloc(int channels, int32_t rate, int priority);
// Queues interleaved 16-bit PCM of the voice's channel count (at most 8 buffers waiting). The
// engine reads it in place; `done`, when given, is called with `user` once every channel has
// passed the buffer or the voice has stopped.
int AUDIO_voicequeue(int handle, const int16_t* pcm, int32_t frames, void (*done)(void* user), void* user);
// After the queued buffers the voice ends instead of waiting for more.
int AUDIO_voiceendqueue(int handle);
// Replaces the queue by a source of the caller's.
int AUDIO_voicesource(int handle, const AUDIOSOURCE* source);
int AUDIO_voiceplay(int handle);
int AUDIO_voicestop(int handle);
int AUDIO_voiceset(int handle, AUDIOVOICEPARAM param, int32_t value);
// Moves the fade level to `target` (0..127; below 0 stops the voice on arrival) over `ticks`.
int AUDIO_voicefade(int handle, int32_t target, int32_t ticks);
int AUDIO_voiceenvelope(int handle, const AUDIOENVSEG* segments, int count);
// 1 while the voice plays, 0 once it has ended (its handle is then invalid: -8).
int AUDIO_voicestatus(int handle);

// Effects (the reverb on slot 0). flags: slot in bits 0-4, 0x20 software reverb, 0x40, 0x80
// hardware reverb; none of 0x20/0x40/0x80 means all three. level 0..127. mode 0 off, 1 the
// caller's block (`block`, `size` bytes, kept valid while the effect is on), any other the
// built-in block. The hardware values are kept for devices with a listener reverb (-1 = leave).
int AUDIO_setfx(int flags, int level, int mode, const void* block, size_t size, int32_t hwdecay = -1,
                int32_t hwdamping = -1);
int AUDIO_setfxlevel(int flags, int level);

// Output driver.
int AUDIO_probe();
int AUDIO_outstart();
int AUDIO_outstop();
int AUDIO_latency();
int AUDIO_capturestart(int32_t blockframes, int bits, int32_t rate);
int AUDIO_captureread(void* dst);
int AUDIO_capturestop();

// The shipped 36-byte reverb block.
extern const uint8_t AUDIO_reverbfile[36];
