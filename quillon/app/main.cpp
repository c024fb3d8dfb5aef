// quillon: turns a user's music file into the game's streamed audio file. With a command it works
// headless; without one it becomes its window program, a separate executable, so that headless
// commands never load the window's libraries.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "quillon/app/cli.h"

namespace {

// Where the window program lies from this program's own folder: beside it in the build tree, in
// the installed tree under libexec.
constexpr const char* kWindowPlaces[] = {"quillon-window", QUILLON_WINDOW_FROM_BINDIR};

std::string ownfolder() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  const std::string self(path, static_cast<size_t>(n));
  return self.substr(0, self.rfind('/') + 1);
}

int openwindow(char** argv) {
  const std::string folder = ownfolder();
  std::string tried;
  for (const char* place : kWindowPlaces) {
    const std::string program = folder + place;
    execv(program.c_str(), argv);
    if (errno != ENOENT) {
      std::fprintf(stderr, "quillon: could not start the window (%s): %s\n", program.c_str(), std::strerror(errno));
      return CLI_FAILED;
    }
    tried += "\n  " + program;
  }
  std::fprintf(stderr, "quillon: the window program is not installed; looked for:%s\n", tried.c_str());
  return CLI_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
  return argc < 2 ? openwindow(argv) : quillon_main(argc, argv);
}
