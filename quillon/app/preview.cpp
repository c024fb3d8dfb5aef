#include "quillon/app/preview.h"

#include "quillon/engine/audio.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

const PREVIEW_PLAYBACK* g_playback = nullptr;

// A folder we made for ourselves: a real directory (no symbolic link), ours, closed to others.
bool isprivate(const std::string& folder) {
  struct stat st;
  return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 077) == 0;
}

std::string runtimefolder() {
  const char* base = std::getenv("XDG_RUNTIME_DIR");
  if (!base || base[0] != '/') return {};
  const std::string folder = std::string(base) + "/quillon";
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  return isprivate(folder) ? folder : std::string();
}

// A folder of this process only: nothing would find it again, so it goes when the process ends.
std::string g_madefolder;

void removemadefolder() {
  unlink((g_madefolder + "/krv1.TMP").c_str());
  rmdir(g_madefolder.c_str());
}

std::string tempfolder() {
  if (g_madefolder.empty()) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && base[0] == '/' ? base : "/tmp") + "/quillon-XXXXXX";
    if (!mkdtemp(pattern.data())) return {};
    g_madefolder = pattern;
    std::atexit(removemadefolder);
  }
  return g_madefolder;
}

}  // namespace

const unsigned char (&REVERB_FILE)[36] = AUDIO_reverbfile;

const PREVIEW_PLAYBACK preview_engine = {
    preview_ditty, preview_setprogress, preview_setstatus, preview_setpump, preview_cancel, preview_cleanup,
};

void preview_provide(const PREVIEW_PLAYBACK* playback) {
  g_playback = playback;
}

const PREVIEW_PLAYBACK* preview_playback() {
  return g_playback;
}

std::string preview_message(int code) {
  switch (code) {
    case PREVIEW_OK:
      return {};
    case PREVIEW_AUDIOFAILED:
      return "Failed to initialise audio";
    case PREVIEW_OUTOFMEMORY:
      return "Out of memory";
    case PREVIEW_NOREVERB:
      return "Could not load rink.fx file";
    default:
      return "Unknown error code: " + std::to_string(code);
  }
}

std::string preview_tempfile() {
  std::string folder = runtimefolder();
  if (folder.empty()) folder = tempfolder();
  return folder.empty() ? std::string() : folder + "/krv1.TMP";
}
