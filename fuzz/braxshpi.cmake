# SHPI image packs of braxel: the scanner, block decoding with the palette search, and re-encoding.
ht_fuzz(fuzz_braxel_shpi fuzz_braxel_shpi.cpp braxel_image)
