// quillon: turns a user's music file into the game's streamed audio file. Without a command it
// opens its window; with one it works headless.
#include "quillon/app/cli.h"
#include "quillon/app/window_main.h"

int main(int argc, char** argv) {
  return argc < 2 ? window_main(argc, argv) : quillon_main(argc, argv);
}
