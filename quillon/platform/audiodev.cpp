// Which backend the audio device layer uses.
#include "quillon/platform/audiodev.h"

#include <atomic>

namespace {
std::atomic<const AudioDevOps*> selected{&audiodev_sdl};
}

void audiodev_select(const AudioDevOps* ops) {
  selected.store(ops ? ops : &audiodev_sdl);
}

const AudioDevOps* audiodev_selected() {
  return selected.load();
}
