// The engine's life: configuration and its clamping, start and stop, the lock, and the hook
// lists of optional modules.
#include <algorithm>
#include <cstring>

#include "quillon/engine/engine_internal.h"
#include "quillon/runtime/timer.h"

namespace eng {

Engine g;

namespace {

constexpr int32_t kMinArena = 256;
constexpr int kSmallRecords = 16, kSmallRecordBytes = 16;

int no_gate() {
  return 0;
}

AUDIOCONFIG defaults() {
  AUDIOCONFIG c{};
  c.minrate = 11025;
  c.maxrate = 48000;
  c.minchannels = 1;
  c.maxchannels = 2;
  c.maxswvoices = 128;
  c.classcount = 1;
  c.classes[0] = AUDIO_CLASS_SOFTWARE;
  c.rate = 22050;
  c.channels = 2;
  c.swvoices = 24;
  c.period = 10;
  static constexpr uint16_t azimuth[4][4] = {
      {0}, {0x4000, 0xC000}, {0x2AAA, 0x8000, 0xD555}, {0x2000, 0x6000, 0xA000, 0xE000}};
  static constexpr uint16_t arraypos[4][4] = {
      {0}, {0x2000, 0xE000}, {0x2AAA, 0x8000, 0xD555}, {0x1555, 0x6AAA, 0x9555, 0xEAAA}};
  std::memcpy(c.azimuth, azimuth, sizeof azimuth);
  std::memcpy(c.arraypos, arraypos, sizeof arraypos);
  return c;
}

bool configured = false;

void ensure_defaults() {
  if (!configured) g.want = defaults(), configured = true;
}

void clamp(AUDIOCONFIG& c) {
  c.rate = std::clamp(c.rate, c.minrate, c.maxrate);
  if (c.hw3dbuffers <= 4) c.speakerarray = 0;
  c.channels = c.speakerarray ? std::clamp(c.channels, c.minchannels, c.maxchannels) : 2;
  c.swvoices = std::min(c.swvoices, c.maxswvoices);
  c.hwvoices = std::min(c.hwvoices, c.hw3dbuffers);
  if (c.swvoices + c.hwvoices > kMaxVoices) c.hwvoices = static_cast<uint8_t>(kMaxVoices - c.swvoices);
  if (!c.hwreverb) c.hwreverbwanted = 0;
  c.period = std::clamp<uint8_t>(c.period, 1, 200);
}

void release_tables() {
  AUDIO_free(g.mix);
  AUDIO_free(g.small);
  AUDIO_free(g.voices);
  g.mix = nullptr;
  g.small = nullptr;
  g.voices = nullptr;
  g.nvoices = g.nsw = 0;
}

}  // namespace

int engine_streamservice(void*, int) {
  int (*gate)() = g.active.streamgate ? g.active.streamgate : g.want.streamgate;
  if (gate && gate() != 0) return 0;
  AUDIO_lock();
  int result = 0;
  if (g.running)
    for (auto* service : g.streamservices)
      if (service) result |= service();
  AUDIO_unlock();
  return result;
}

namespace {

template <typename T, size_t N>
int list_add(T (&list)[N], T item) {
  if (!item) return AUDIO_ERR;
  if (std::find(std::begin(list), std::end(list), item) != std::end(list)) return AUDIO_OK;
  auto* free = std::find(std::begin(list), std::end(list), nullptr);
  if (free == std::end(list)) return AUDIO_ENOFREE;
  *free = item;
  return AUDIO_OK;
}

template <typename T, size_t N>
int list_remove(T (&list)[N], T item) {
  auto* at = std::find(std::begin(list), std::end(list), item);
  if (!item || at == std::end(list)) return AUDIO_ERR;
  std::move(at + 1, std::end(list), at);
  list[N - 1] = nullptr;
  return AUDIO_OK;
}

}  // namespace

}  // namespace eng

using namespace eng;

void AUDIO_lock() {
  sys_lock();
  ++g.locknest;
}

void AUDIO_unlock() {
  --g.locknest;
  sys_unlock();
}

int AUDIO_isrunning() {
  AUDIO_lock();
  const int r = g.running ? 1 : 0;
  AUDIO_unlock();
  return r;
}

int AUDIO_getconfig(AUDIOCONFIG* config) {
  if (!config) return AUDIO_ERR;
  AUDIO_lock();
  ensure_defaults();
  *config = g.running ? g.active : g.want;
  AUDIO_unlock();
  return AUDIO_OK;
}

int AUDIO_setconfig(const AUDIOCONFIG* config) {
  if (!config) return AUDIO_ERR;
  AUDIO_lock();
  ensure_defaults();
  if (g.running) {
    g.want = g.active;
  } else {
    AUDIOCONFIG c = *config;
    // The capabilities are the device's, not the caller's.
    std::memcpy(&c, &g.want, offsetof(AUDIOCONFIG, rate));
    clamp(c);
    g.want = c;
  }
  AUDIO_unlock();
  return AUDIO_OK;
}

namespace eng {

int engine_init(void* arena, int32_t size, bool output) {
  AUDIO_lock();
  if (g.running) {
    AUDIO_unlock();
    return AUDIO_OK;
  }
  if (!arena || size < kMinArena) {
    AUDIO_unlock();
    return AUDIO_ERR;
  }
  ensure_defaults();
  arena_setup(arena, size);
  int rc = AUDIO_OK;
  if (output && !g.probe.done) {
    rc = AUDIO_probe();
    g.probe.done = rc == AUDIO_OK;
  }
  if (rc == AUDIO_OK) {
    clamp(g.want);
    g.active = g.want;
    g.nsw = g.active.swvoices;
    g.nvoices = g.active.swvoices + g.active.hwvoices;
    g.voices = static_cast<Voice*>(AUDIO_alloc(g.nvoices * static_cast<int32_t>(sizeof(Voice))));
    g.small = AUDIO_alloc(kSmallRecords * kSmallRecordBytes);
    g.mix = static_cast<MixVoice*>(AUDIO_alloc(std::max(g.nsw, 1) * static_cast<int32_t>(sizeof(MixVoice))));
    if (!g.voices || !g.small || !g.mix) rc = AUDIO_ERR;
  }
  if (rc == AUDIO_OK) {
    if (!g.active.tickhandler) g.active.tickhandler = AUDIO_tick;
    g.mastervolume = 127;
    g.ticks = 0;
    std::fill(std::begin(g.tickhooks), std::end(g.tickhooks), nullptr);
    std::fill(std::begin(g.streamservices), std::end(g.streamservices), nullptr);
    voices_setdirections(g.active.channels);
    pan_build(g.active.channels, g.active.azimuth[g.active.channels - 1]);
    g.rate = g.active.rate;
    g.channels = g.active.channels;
    g.running = true;
    rc = output ? AUDIO_outstart() : mix_setup(g.rate, g.channels);
    if (rc == AUDIO_OK && !output && g.fx.mode != 0 && fx_apply() != AUDIO_OK) g.fx.mode = 0;
    if (rc != AUDIO_OK) g.running = false;
  }
  if (rc != AUDIO_OK) {
    release_tables();
    g.arena = nullptr;
  }
  AUDIO_unlock();
  return rc;
}

}  // namespace eng

int AUDIO_init(void* arena, int32_t size) {
  return engine_init(arena, size, true);
}

int AUDIO_shutdown() {
  AUDIO_lock();
  if (!g.running) {
    AUDIO_unlock();
    return AUDIO_ENOTRUNNING;
  }
  fx_off();
  for (auto* hook : g.shutdownhooks)
    if (hook) hook();
  for (int i = 0; i < g.nvoices; ++i)
    if (g.voices[i].state == 1 && g.voices[i].handle >= 0) voice_stopsound(i, false);
  if (g.endhook) g.endhook(-1);
  AUDIO_unlock();
  // The output thread takes the lock for each pass, so it is waited for outside it.
  AUDIO_outstop();
  AUDIO_lock();
  const int peak = arena_peak();
  release_tables();
  g.running = false;
  g.arena = nullptr;
  AUDIO_unlock();
  return peak;
}

int AUDIO_attach() {
  AUDIO_lock();
  ensure_defaults();
  g.want.streamgate = no_gate;
  int rc = AUDIO_OK;
  if (!g.attached) {
    g.attached = SYNCTASK_add(engine_streamservice, 0, 1) == 1;
    if (!g.attached) rc = AUDIO_ESERVICE;
  }
  AUDIO_unlock();
  return rc;
}

int AUDIO_addtickhook(void (*hook)()) {
  AUDIO_lock();
  const int rc = list_add(g.tickhooks, hook);
  AUDIO_unlock();
  return rc;
}

int AUDIO_removetickhook(void (*hook)()) {
  AUDIO_lock();
  const int rc = list_remove(g.tickhooks, hook);
  AUDIO_unlock();
  return rc;
}

int AUDIO_setshutdownhook(int slot, void (*hook)()) {
  if (slot < 0 || slot >= 4) return AUDIO_ERR;
  AUDIO_lock();
  g.shutdownhooks[slot] = hook;
  AUDIO_unlock();
  return AUDIO_OK;
}

int AUDIO_addstreamservice(int (*service)()) {
  AUDIO_lock();
  const int rc = list_add(g.streamservices, service);
  AUDIO_unlock();
  return rc == AUDIO_ENOFREE ? AUDIO_ESERVICE : rc;
}

int AUDIO_removestreamservice(int (*service)()) {
  AUDIO_lock();
  const int rc = list_remove(g.streamservices, service);
  AUDIO_unlock();
  return rc;
}

void AUDIO_setservicehooks(void (*pre)(), void (*post)()) {
  g.prehook.store(pre);
  g.posthook.store(post);
}

void AUDIO_setendhook(void (*hook)(int handle)) {
  AUDIO_lock();
  g.endhook = hook;
  AUDIO_unlock();
}
