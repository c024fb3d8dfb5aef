#include "quillon/platform/tempfolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

namespace {

// A folder of ours that nobody else can enter, reached without following a link.
bool private_folder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 077) == 0;
}

std::string g_madefolder;

void remove_madefolder() {
  if (!g_madefolder.empty()) rmdir(g_madefolder.c_str());
}

}  // namespace

std::string platform_privatetempfolder() {
  static std::mutex lock;
  const std::lock_guard<std::mutex> hold(lock);
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime == '/') {
    const std::string folder = std::string(runtime) + "/quillon";
    mkdir(folder.c_str(), 0700);
    if (private_folder(folder)) return folder + "/";
  }
  if (!g_madefolder.empty() && private_folder(g_madefolder)) return g_madefolder + "/";
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillon-XXXXXX";
  if (!mkdtemp(pattern.data())) return {};
  if (g_madefolder.empty()) std::atexit(remove_madefolder);
  g_madefolder = pattern;
  return g_madefolder + "/";
}
