// braxel: console tool for the game's pack archives, compressed files and image packs.
#include <cstdio>

int main() {
  std::fputs("braxel\n", stdout);
  return 2;
}
