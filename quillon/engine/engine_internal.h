// The engine's shared state and the calls its parts make of each other. Everything here is
// touched only with the engine lock held, except where a field says otherwise.
#pragma once

#include <atomic>
#include <cstdint>

#include "quillon/engine/audio.h"
#include "quillon/platform/audiodev.h"

namespace eng {

inline constexpr int kMaxVoices = 256;
inline constexpr int kMaxOut = 4;  // output channels
inline constexpr int kMaxSoundChannels = 4;
inline constexpr int kBlock = 256;  // frames per mixed block
inline constexpr int kRamp = 32;    // frames over which a gain change is ramped
inline constexpr int kQueue = 8;    // PCM buffers waiting per voice
inline constexpr int kMaxEnvSegs = 16;
inline constexpr int kIdleBlocks = 2000;  // reverb blocks without send before it stops working
inline constexpr int kFilters = 11;       // reverb filter table
inline constexpr int kTickRestart = 30000;

struct QueueEntry {
  const int16_t* pcm;
  int32_t frames;
  void (*done)(void*);
  void* user;
};

struct Voice {
  int32_t handle;  // serial << 8 | index; -1 on the secondary channels of a sound
  uint8_t state;   // 0 free, 1 playing
  uint8_t priority;
  uint32_t stamp;
  uint16_t master;
  uint8_t nch;
  uint8_t chan[kMaxSoundChannels];  // on a master: its entries, the master first
  uint8_t chindex;                  // which channel of its sound this entry plays
  int32_t rate;
  uint8_t volume, pan, bend;
  int16_t bendrange, basepitch;
  uint16_t ratemult;
  uint16_t direction;
  uint16_t offset;  // this channel's own direction offset within its sound
  uint16_t azimuth;
  uint8_t sendwanted, send, reverbamount;
  int32_t fadelevel, fadestep, fadetarget;  // 16.16
  int32_t envlevel, envstep, envleft;       // 16.16, ticks left in the segment
  int16_t envseg, envcount;
  AUDIOENVSEG env[kMaxEnvSegs];
  uint8_t curvolume;
  uint32_t pitchratio;        // 4096 = 1.0; four octaves up no longer fit 16 bits
  int32_t lowpass, highpass;  // Hz
  // The sound's data, on the master: a caller's source, or the PCM queue by sequence number.
  AUDIOSOURCE source;
  QueueEntry queue[kQueue];
  uint32_t qhead, qtail;  // sequence numbers of the oldest waiting and the next free entry
  bool qended;
  // This channel's read position in the queue.
  uint32_t qseq;
  int32_t qpos;
};

struct MixVoice;
struct MixNode {
  MixNode* next;
  int kind;  // 5 source, 3 resampler, 1 high-pass, 0 low-pass
  MixVoice* owner;
  int (*process)(MixNode* self, float* out, int frames);
};

struct MixVoice {
  uint8_t state;  // 0 idle, 1 set up, 2 running
  bool changed;
  float cur[kMaxOut], tgt[kMaxOut];
  float sendcur, sendtgt;
  MixNode* head;
  MixNode src, res, hp, lp;
  int index;
  // resampler: position relative to the samples pulled so far (16.16), last four inputs
  int64_t rel;
  float carry[4];
  int32_t step;
  // high-pass: gliding normalised cut-off, coefficients, history
  float fn, fntarget;
  float a0, a1, a2, b1, b2, x1, x2, y1, y2;
  // low-pass
  float k, ylp;
};

// Per-processor routines, chosen once; every variant gives the same bits.
struct MixRoutines {
  const char* name;
  void (*muladd)(float* dst, const float* src, float gain, int n);
  // Interleaves `nch` channels taken in the order of `order` into 16-bit samples.
  void (*convert)(int16_t* dst, float* const* ch, const int* order, int nch, int n);
};
int mix_variants();  // how many variants this processor can run
const MixRoutines* mix_variant(int i);

struct FxSlot {
  int mode;
  const void* block;
  size_t size;
  int swlevel, hwlevel;
  int32_t hwdecay, hwdamping;
};

struct RevFilter {
  int32_t pos, len;
  float* line;
  float g, mg, state, a, b;
};

struct Reverb {
  bool on;
  int counts[3];
  RevFilter f[kFilters];
  float* buf[3];  // A, B, C
  int idle;
  uint64_t processed;  // blocks that did reverb work, for tests
};

// The output driver's state; one per process.
struct Output {
  const AudioDevOps* ops = nullptr;
  AudioDevBuffer* buf = nullptr;
  int rate, channels;
  uint32_t len;  // frames
  uint32_t writtenend, lastcursor;
  int32_t writtentotal, cursortotal;
  int32_t lead, maxlead, smallest, passes, stalls;
  bool emulated;
  std::atomic<bool> keepgoing{false};
};

struct Probed {
  bool done;
  bool emulated;
};

struct Engine {
  bool running;
  Probed probe;
  uint8_t* arena;
  int32_t arenasize;
  AUDIOCONFIG want;    // what the client asked for, clamped
  AUDIOCONFIG active;  // what the running engine uses
  Voice* voices;
  int nvoices, nsw;
  MixVoice* mix;
  int32_t serial;
  uint32_t ticks;
  int mastervolume;
  int locknest;
  uint8_t pan[256][kMaxOut];
  uint16_t defdir[kMaxSoundChannels][kMaxSoundChannels];
  // hooks
  void (*tickhooks[8])();
  void (*shutdownhooks[4])();
  int (*streamservices[8])();
  std::atomic<void (*)()> prehook, posthook;  // read by the output thread outside the lock
  void (*endhook)(int);
  bool attached;
  // mixer
  int rate, channels;
  float* out[kMaxOut];
  float* vbuf;   // one voice's block
  float* inbuf;  // the resampler's input
  int32_t frame, tick;
  const MixRoutines* routines;
  // effects
  FxSlot fx;
  Reverb rev;
};

extern Engine g;
extern Output out;

// Starts the engine; without output no device is probed or opened, and the client renders by
// calling mix_render under the lock (tests and benchmarks).
int engine_init(void* arena, int32_t size, bool output);

// The synchronous task that runs the stream services unless the stream gate says no.
int engine_streamservice(void* argument, int late);

// arena
void arena_setup(void* block, int32_t size);
int arena_peak();

// voices and laws (voice.cpp)
const uint8_t* pitch_table();
int pitch_ratio(int32_t cents);
int volume_law(int32_t envlevel, int32_t fadelevel, int volume, int master);
int pan_shape(int x);
void pan_build(int channels, const uint16_t* speakers);
int voice_master(int handle);   // entry index of a valid handle, or -8
void voice_update(int master);  // volume, gains, pitch and filters of a sound
void voice_stopsound(int master, bool ended);
void voices_setdirections(int outchannels);
int voice_pull(int index, float* out, int frames);  // the source node of a voice entry
// Turns one channel of a sound by `offset` from its default direction (the stream player's
// per-channel directions).
int voice_setchanneloffset(int handle, int channel, uint16_t offset);

// mixer (mixer.cpp)
int mix_setup(int rate, int channels);
void mix_release();
void mix_render(int16_t* dst, int frames);
void mix_setgains(int index, const float* gains, float send);
void mix_setstep(int index, int32_t step);
void mix_setfilters(int index, int32_t lowpass, int32_t highpass);
void mix_unlink(int index);
void mix_start(int index);
void mix_block(int frames);  // one block of at most kBlock frames into g.out

// reverb (reverb.cpp)
int fx_apply();
void fx_off();
// Adds in x send gain into the send buffer at `offset`, ramped from `from` to `to` over the first
// `ramp` frames.
void rev_send(const float* in, float from, float to, int ramp, int frames, int offset);
void rev_process(int frames);
int fx_sendvalue(int wanted, int amount, int level);
uint32_t prime_atleast(uint32_t n);
int room_environment(int code, float* volume);
int hw_attenuation(int volume);  // hundredths of a decibel

// output (output.cpp)
void out_reset(Output& o, int rate, int channels, bool emulated);
using FillFn = void (*)(int16_t* dst, int frames);
void out_service(Output& o, FillFn fill);
void out_adapt(Output& o);

// threads and the lock (enginesys.cpp)
void sys_lock();
void sys_unlock();
bool sys_threadstart(void (*fn)());
void sys_threadjoin();
void sys_sleepms(int ms);

}  // namespace eng
