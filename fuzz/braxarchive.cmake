# braxel pack archives: the directory scanner on every layout and nested open on a two-level path.
ht_fuzz(fuzz_braxel_pack fuzz_braxel_pack.cpp braxel_archive)
ht_fuzz(fuzz_braxel_pack_nested fuzz_braxel_pack_nested.cpp braxel_archive)
