// Writes the program icon as a PNG file: `quillon_drawicon FILE SIZE`.
#include <cstdio>
#include <cstdlib>

#include "quillon/app/window_icons.h"

int main(int argc, char** argv) {
  const int size = argc == 3 ? std::atoi(argv[2]) : 0;
  if (size < 16 || size > 1024) {
    std::fputs("usage: quillon_drawicon FILE SIZE (16..1024)\n", stderr);
    return 2;
  }
  return window_programimage(size).save(argv[1], "PNG") ? 0 : 1;
}
