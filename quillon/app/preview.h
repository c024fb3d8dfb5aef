// The Preview button's side of preview playback: the private folder of the preview file, the
// arena reverb block, the playback's messages, and the one seam through which the audio engine
// provides the playback itself.
#pragma once

#include <cstddef>
#include <string>

#include "quillon/engine/previewplay.h"

// The operations of preview playback: play the stream file at `path` with the reverb block, the
// three callbacks, stop (the playing preview ends after its current pass), and release everything
// (safe at any time).
struct PREVIEW_PLAYBACK {
  int (*ditty)(const char* path, const unsigned char* reverb, size_t reverbsize);
  void (*setprogress)(PREVIEW_PROGRESSFN fn);
  void (*setstatus)(PREVIEW_STATUSFN fn);
  void (*setpump)(PREVIEW_PUMPFN fn);
  void (*cancel)();
  void (*cleanup)();
};

// The engine's preview playback.
extern const PREVIEW_PLAYBACK preview_engine;

// Installs the playback (null: none in this build). The table must outlive its use.
void preview_provide(const PREVIEW_PLAYBACK* playback);
const PREVIEW_PLAYBACK* preview_playback();

// The arena reverb's parameter block that the preview plays with: the engine's shipped block.
extern const unsigned char (&REVERB_FILE)[36];

// The window's message for a result of `ditty` (empty for none).
std::string preview_message(int code);

// The preview file, "krv1.TMP" in a folder only this user can enter: $XDG_RUNTIME_DIR/quillon,
// else a folder made once per process under $TMPDIR or /tmp. "" when neither can be had.
std::string preview_tempfile();
