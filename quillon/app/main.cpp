// quillon: turns a music file into the game's streamed audio file.
#include <cstdio>

int main() {
  std::fputs("quillon\n", stdout);
  return 2;
}
