// quillon: turns a user's music file into the game's streamed audio file.
#include "quillon/app/cli.h"

int main(int argc, char** argv) {
  return quillon_main(argc, argv);
}
