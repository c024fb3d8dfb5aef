// The user's private temporary folder: where quillon keeps files that must not be seen or
// replaced by other users (the movie reader's temporary WAVE file, the preview file).
#pragma once

#include <string>

// "$XDG_RUNTIME_DIR/quillon/" when that folder is (or can be made) a real folder of this user's
// with mode 0700; else a folder made by mkdtemp under $TMPDIR or /tmp, mode 0700, once per
// process and removed at exit when empty. Ends in '/'; empty when no such folder can be had.
std::string platform_privatetempfolder();
