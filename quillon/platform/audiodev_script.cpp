// A playback device driven by its test: the cursors stand where the script puts them, the
// status and the capabilities are what it says, and the buffer can be read back. Capture is not
// offered.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "quillon/platform/audiodev.h"

struct AudioDevBuffer {
  std::vector<uint8_t> ring;
};

namespace {

std::mutex guard;
AudioDevScript script{};
AudioDevBuffer* current = nullptr;
bool playing = false;

int sc_probe(AudioDevCaps* caps) {
  std::lock_guard lock(guard);
  *caps = AudioDevCaps{script.flags, 0, 0};
  return script.openresult;
}

int sc_open(const AudioDevFormat&, uint32_t bytes, AudioDevBuffer** out) {
  std::lock_guard lock(guard);
  *out = nullptr;
  if (script.openresult != kAudioDevOk) return script.openresult;
  if (current || bytes == 0) return kAudioDevFailed;
  current = new AudioDevBuffer;
  current->ring.assign(bytes, 0);
  playing = false;
  *out = current;
  return kAudioDevOk;
}

void sc_close(AudioDevBuffer* b) {
  std::lock_guard lock(guard);
  if (b == current) current = nullptr;
  delete b;
}

int sc_lock(AudioDevBuffer* b, uint32_t offset, uint32_t bytes, void** p1, uint32_t* n1, void** p2,
            uint32_t* n2) {
  const auto size = static_cast<uint32_t>(b->ring.size());
  if (offset >= size || bytes > size) return kAudioDevFailed;
  guard.lock();
  ++script.locks;
  *p1 = b->ring.data() + offset;
  *n1 = std::min(bytes, size - offset);
  *n2 = bytes - *n1;
  *p2 = *n2 ? b->ring.data() : nullptr;
  return kAudioDevOk;
}

void sc_unlock(AudioDevBuffer*) {
  guard.unlock();
}

int sc_play(AudioDevBuffer*) {
  std::lock_guard lock(guard);
  playing = true;
  ++script.plays;
  return kAudioDevOk;
}

int sc_stop(AudioDevBuffer*) {
  std::lock_guard lock(guard);
  playing = false;
  return kAudioDevOk;
}

uint32_t sc_status(AudioDevBuffer*) {
  std::lock_guard lock(guard);
  return (playing ? kAudioDevPlaying : 0) | (script.lost ? kAudioDevLost : 0);
}

int sc_restore(AudioDevBuffer*) {
  std::lock_guard lock(guard);
  script.lost = false;
  ++script.restores;
  return kAudioDevOk;
}

void sc_cursors(AudioDevBuffer* b, uint32_t* play, uint32_t* write) {
  std::lock_guard lock(guard);
  const auto size = static_cast<uint32_t>(b->ring.size());
  *play = script.play % size;
  *write = script.write % size;
}

int sc_capopen(const AudioDevFormat&, uint32_t, AudioDevCapture** out) {
  *out = nullptr;
  return kAudioDevFailed;
}

void sc_capclose(AudioDevCapture*) {}
uint32_t sc_capcursor(AudioDevCapture*) {
  return 0;
}
void sc_capread(AudioDevCapture*, uint32_t, uint32_t, void*) {}

}  // namespace

void audiodev_script_reset() {
  std::lock_guard lock(guard);
  script = AudioDevScript{};
}

AudioDevScript audiodev_script_get() {
  std::lock_guard lock(guard);
  return script;
}

void audiodev_script_set(const AudioDevScript& s) {
  std::lock_guard lock(guard);
  script = s;
}

bool audiodev_script_peek(uint32_t offset, uint32_t bytes, void* dst) {
  std::lock_guard lock(guard);
  if (!current) return false;
  const size_t size = current->ring.size();
  auto* d = static_cast<uint8_t*>(dst);
  for (size_t i = 0, at = offset % size; i < bytes; ++i, at = (at + 1) % size) d[i] = current->ring[at];
  return true;
}

const AudioDevOps audiodev_script = {
    "script",  sc_probe,   sc_open,    sc_close,   sc_lock,     sc_unlock,    sc_play,    sc_stop,
    sc_status, sc_restore, sc_cursors, sc_capopen, sc_capclose, sc_capcursor, sc_capread,
};
