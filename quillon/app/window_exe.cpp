// quillon-window: quillon's window, started by `quillon` without a command.
#include "quillon/app/window_main.h"

int main(int argc, char** argv) {
  return window_main(argc, argv);
}
