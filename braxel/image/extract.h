// Image packs inside the archive layer: the SHPI and ORIP readers that let pack paths descend
// into image packs (and listings show image sizes), and the extract commands that decode image
// entries and write them as image files.
#pragma once

#include <cstdint>
#include <vector>

#include "braxel/archive/pack.h"

// Installs the SHPI and ORIP readers into the pack layer. Called once at start-up.
void image_pack_install();

// The pack layer's readers: the container's data read whole and scanned.
int shpi_pack_reader(PackEntry* container, std::vector<PackEntry>& out);
int orip_pack_reader(PackEntry* container, std::vector<PackEntry>& out);

// "-extract" and its relatives: every image entry of the pack at path named in names (a name
// list; empty means every entry) is decoded and written as an image file of image_format under
// the entry's name. Gives the run's exit status.
int image_extract(const char* path, const char* names, int image_format);
