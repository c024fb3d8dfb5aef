// Player face photos: "-face" finds the installed game edition, builds the image packs of each
// face number from its pictures in the current folder (deriving a missing small photo from the
// large one) and adds them to the game's face and photo archives.
#pragma once

#include <cstdint>

#include "braxel/image/imagefile.h"

// Crops a large photo (any decoded picture) to the face it shows and scales it to width x height;
// gives a true-colour picture, or false when the picture leaves no box to crop.
bool derive_small_photo(const ShapeImage& large, int width, int height, ShapeImage* small);

// "-face": the game's base folder, then the face numbers. Gives the run's exit status.
int face_command(const char* base, char* const* numbers, int count, int transparency);
