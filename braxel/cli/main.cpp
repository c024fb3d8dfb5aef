// braxel: console tool for the game's pack archives, compressed files and image packs.
#include "braxel/cli/driver.h"

int main(int argc, char** argv) {
  return braxel_main(argc, argv);
}
