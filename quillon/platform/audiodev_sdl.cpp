// Audio device backend over SDL2. SDL pulls audio through a callback on its own thread; the
// callback consumes the looping buffer at the write cursor, so everything before that cursor is
// committed, and the last piece it took is what the device is playing now. Capture runs the
// other way: the callback appends what the device recorded. The library is loaded when audio is
// first wanted, so that the commands which never play don't pay for its start.
#include <SDL.h>
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "quillon/platform/audiodev.h"

namespace {

// The SDL functions the backend calls, from the library loaded on first use (null when it can't
// be loaded: no audio).
struct Sdl {
  decltype(&SDL_InitSubSystem) InitSubSystem;
  decltype(&SDL_QuitSubSystem) QuitSubSystem;
  decltype(&SDL_GetError) GetError;
  decltype(&SDL_GetNumAudioDevices) GetNumAudioDevices;
  decltype(&SDL_OpenAudioDevice) OpenAudioDevice;
  decltype(&SDL_CloseAudioDevice) CloseAudioDevice;
  decltype(&SDL_PauseAudioDevice) PauseAudioDevice;
  decltype(&SDL_LockAudioDevice) LockAudioDevice;
  decltype(&SDL_UnlockAudioDevice) UnlockAudioDevice;
  decltype(&SDL_GetAudioDeviceStatus) GetAudioDeviceStatus;
};

const Sdl* load_sdl() {
  void* lib = dlopen("libSDL2-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
  if (!lib) return nullptr;
  static Sdl s;
  bool ok = true;
  const auto take = [&](auto& fn, const char* name) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
    ok = ok && fn;
  };
  take(s.InitSubSystem, "SDL_InitSubSystem");
  take(s.QuitSubSystem, "SDL_QuitSubSystem");
  take(s.GetError, "SDL_GetError");
  take(s.GetNumAudioDevices, "SDL_GetNumAudioDevices");
  take(s.OpenAudioDevice, "SDL_OpenAudioDevice");
  take(s.CloseAudioDevice, "SDL_CloseAudioDevice");
  take(s.PauseAudioDevice, "SDL_PauseAudioDevice");
  take(s.LockAudioDevice, "SDL_LockAudioDevice");
  take(s.UnlockAudioDevice, "SDL_UnlockAudioDevice");
  take(s.GetAudioDeviceStatus, "SDL_GetAudioDeviceStatus");
  return ok ? &s : nullptr;
}

// Valid once init_audio has succeeded, which every device operation comes after.
const Sdl* sdl() {
  static const Sdl* const loaded = load_sdl();
  return loaded;
}

// The backend's records; the layer's opaque handles point at them.
struct Buffer {
  SDL_AudioSpec spec{};
  SDL_AudioDeviceID dev = 0;
  std::vector<uint8_t> ring;
  uint64_t taken = 0;      // bytes the callback has consumed since open
  uint32_t lastpiece = 0;  // size of the callback's latest piece, still being played
  bool playing = false;
};

struct Capture {
  SDL_AudioDeviceID dev = 0;
  std::vector<uint8_t> ring;
  uint32_t pos = 0;
};

Buffer* of(AudioDevBuffer* b) {
  return reinterpret_cast<Buffer*>(b);
}
Capture* of(AudioDevCapture* c) {
  return reinterpret_cast<Capture*>(c);
}

// A device period of about 10 ms keeps the play cursor close to what is heard.
uint16_t period_frames(int rate) {
  uint16_t n = 64;
  while (n < 4096 && n * 100 < rate) n *= 2;
  return n;
}

int open_error() {
  return audiodev_sdl_maperror(sdl()->GetError(), sdl()->GetNumAudioDevices(0));
}

void playback_callback(void* user, Uint8* stream, int len) {
  auto* b = static_cast<Buffer*>(user);
  if (!b->playing || b->ring.empty()) {
    std::memset(stream, b->spec.silence, static_cast<size_t>(len));
    b->lastpiece = 0;
    return;
  }
  const size_t size = b->ring.size();
  size_t at = b->taken % size;
  size_t left = static_cast<size_t>(len);
  while (left > 0) {
    const size_t n = std::min(left, size - at);
    std::memcpy(stream, b->ring.data() + at, n);
    stream += n;
    left -= n;
    at = (at + n) % size;
  }
  b->taken += static_cast<uint64_t>(len);
  b->lastpiece = static_cast<uint32_t>(len);
}

void capture_callback(void* user, Uint8* stream, int len) {
  auto* c = static_cast<Capture*>(user);
  const size_t size = c->ring.size();
  size_t left = static_cast<size_t>(len);
  while (left > 0) {
    const size_t n = std::min(left, size - c->pos);
    std::memcpy(c->ring.data() + c->pos, stream, n);
    stream += n;
    left -= n;
    c->pos = static_cast<uint32_t>((c->pos + n) % size);
  }
}

int init_audio() {
  return sdl() && sdl()->InitSubSystem(SDL_INIT_AUDIO) == 0 ? kAudioDevOk : kAudioDevNoDevice;
}

int sdl_probe(AudioDevCaps* caps) {
  if (init_audio() != kAudioDevOk) return kAudioDevNoDevice;
  // SDL mixes every voice in software: no positional hardware voices, no hardware reverb.
  *caps = AudioDevCaps{0, 0, 0};
  sdl()->QuitSubSystem(SDL_INIT_AUDIO);
  return kAudioDevOk;
}

int open_device(Buffer* b) {
  SDL_AudioSpec have{};
  b->dev = sdl()->OpenAudioDevice(nullptr, 0, &b->spec, &have, 0);
  return b->dev != 0 ? kAudioDevOk : open_error();
}

int sdl_open(const AudioDevFormat& f, uint32_t bytes, AudioDevBuffer** out) {
  *out = nullptr;
  if (f.bits != 16 || f.channels < 1 || f.channels > 8 || bytes == 0) return kAudioDevFailed;
  if (init_audio() != kAudioDevOk) return kAudioDevNoDevice;
  auto* b = new Buffer;
  b->ring.assign(bytes, 0);
  b->spec.freq = f.rate;
  b->spec.format = AUDIO_S16SYS;
  b->spec.channels = static_cast<Uint8>(f.channels);
  b->spec.samples = period_frames(f.rate);
  b->spec.callback = playback_callback;
  b->spec.userdata = b;
  const int rc = open_device(b);
  if (rc != kAudioDevOk) {
    delete b;
    sdl()->QuitSubSystem(SDL_INIT_AUDIO);
    return rc;
  }
  *out = reinterpret_cast<AudioDevBuffer*>(b);
  return kAudioDevOk;
}

void sdl_close(AudioDevBuffer* handle) {
  Buffer* b = of(handle);
  if (!b) return;
  if (b->dev) sdl()->CloseAudioDevice(b->dev);
  delete b;
  sdl()->QuitSubSystem(SDL_INIT_AUDIO);
}

int sdl_lock(AudioDevBuffer* handle, uint32_t offset, uint32_t bytes, void** p1, uint32_t* n1, void** p2,
             uint32_t* n2) {
  Buffer* b = of(handle);
  const auto size = static_cast<uint32_t>(b->ring.size());
  if (offset >= size || bytes > size || b->dev == 0) return kAudioDevFailed;
  sdl()->LockAudioDevice(b->dev);
  *p1 = b->ring.data() + offset;
  *n1 = std::min(bytes, size - offset);
  *n2 = bytes - *n1;
  *p2 = *n2 ? b->ring.data() : nullptr;
  return kAudioDevOk;
}

void sdl_unlock(AudioDevBuffer* handle) {
  Buffer* b = of(handle);
  sdl()->UnlockAudioDevice(b->dev);
}

int set_playing(AudioDevBuffer* handle, bool on) {
  Buffer* b = of(handle);
  if (b->dev == 0) return kAudioDevFailed;
  sdl()->LockAudioDevice(b->dev);
  b->playing = on;
  sdl()->UnlockAudioDevice(b->dev);
  sdl()->PauseAudioDevice(b->dev, on ? 0 : 1);
  return kAudioDevOk;
}

int sdl_play(AudioDevBuffer* handle) {
  return set_playing(handle, true);
}
int sdl_stop(AudioDevBuffer* handle) {
  return set_playing(handle, false);
}

uint32_t sdl_status(AudioDevBuffer* handle) {
  Buffer* b = of(handle);
  // A device that disappears (unplugged, server gone) is reported stopped by SDL.
  if (b->dev == 0 || sdl()->GetAudioDeviceStatus(b->dev) == SDL_AUDIO_STOPPED) return kAudioDevLost;
  sdl()->LockAudioDevice(b->dev);
  const bool playing = b->playing;
  sdl()->UnlockAudioDevice(b->dev);
  return playing ? kAudioDevPlaying : 0;
}

int sdl_restore(AudioDevBuffer* handle) {
  Buffer* b = of(handle);
  bool playing = false;
  if (b->dev) {
    sdl()->LockAudioDevice(b->dev);
    playing = b->playing;
    sdl()->UnlockAudioDevice(b->dev);
    sdl()->CloseAudioDevice(b->dev);
    b->dev = 0;
  }
  const int rc = open_device(b);
  if (rc == kAudioDevOk && playing) sdl()->PauseAudioDevice(b->dev, 0);
  return rc;
}

void sdl_cursors(AudioDevBuffer* handle, uint32_t* play, uint32_t* write) {
  Buffer* b = of(handle);
  const uint64_t size = b->ring.size();
  uint64_t taken = 0, piece = 0;
  if (b->dev) {
    sdl()->LockAudioDevice(b->dev);
    taken = b->taken;
    piece = b->lastpiece;
    sdl()->UnlockAudioDevice(b->dev);
  }
  *write = static_cast<uint32_t>(taken % size);
  *play = static_cast<uint32_t>((taken - std::min(taken, piece)) % size);
}

int sdl_capopen(const AudioDevFormat& f, uint32_t bytes, AudioDevCapture** out) {
  *out = nullptr;
  if ((f.bits != 8 && f.bits != 16) || f.channels != 1 || bytes == 0) return kAudioDevFailed;
  if (init_audio() != kAudioDevOk) return kAudioDevNoDevice;
  auto* c = new Capture;
  c->ring.assign(bytes, f.bits == 8 ? 0x80 : 0);
  SDL_AudioSpec want{}, have{};
  want.freq = f.rate;
  want.format = f.bits == 8 ? AUDIO_U8 : AUDIO_S16SYS;
  want.channels = 1;
  want.samples = period_frames(f.rate);
  want.callback = capture_callback;
  want.userdata = c;
  c->dev = sdl()->OpenAudioDevice(nullptr, 1, &want, &have, 0);
  if (c->dev == 0) {
    const int rc = audiodev_sdl_maperror(sdl()->GetError(), sdl()->GetNumAudioDevices(1));
    delete c;
    sdl()->QuitSubSystem(SDL_INIT_AUDIO);
    return rc;
  }
  sdl()->PauseAudioDevice(c->dev, 0);
  *out = reinterpret_cast<AudioDevCapture*>(c);
  return kAudioDevOk;
}

void sdl_capclose(AudioDevCapture* handle) {
  Capture* c = of(handle);
  if (!c) return;
  sdl()->CloseAudioDevice(c->dev);
  delete c;
  sdl()->QuitSubSystem(SDL_INIT_AUDIO);
}

uint32_t sdl_capcursor(AudioDevCapture* handle) {
  Capture* c = of(handle);
  sdl()->LockAudioDevice(c->dev);
  const uint32_t pos = c->pos;
  sdl()->UnlockAudioDevice(c->dev);
  return pos;
}

void sdl_capread(AudioDevCapture* handle, uint32_t offset, uint32_t bytes, void* dst) {
  Capture* c = of(handle);
  const size_t size = c->ring.size();
  auto* d = static_cast<uint8_t*>(dst);
  sdl()->LockAudioDevice(c->dev);
  for (size_t i = 0, at = offset % size; i < bytes; ++i, at = (at + 1) % size) d[i] = c->ring[at];
  sdl()->UnlockAudioDevice(c->dev);
}

}  // namespace

int audiodev_sdl_maperror(const char* message, int outputdevices) {
  std::string lower;
  for (const char* p = message ? message : ""; *p; ++p)
    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  const std::string_view m = lower;
  if (m.find("busy") != std::string_view::npos || m.find("in use") != std::string_view::npos)
    return kAudioDevBusy;
  if (outputdevices == 0) return kAudioDevNoDevice;
  return kAudioDevFailed;
}

const AudioDevOps audiodev_sdl = {
    "sdl",      sdl_probe,   sdl_open,    sdl_close,   sdl_lock,     sdl_unlock,    sdl_play,    sdl_stop,
    sdl_status, sdl_restore, sdl_cursors, sdl_capopen, sdl_capclose, sdl_capcursor, sdl_capread,
};
