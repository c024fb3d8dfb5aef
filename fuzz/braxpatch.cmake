# The patch-information file of braxel's -makepatch.
ht_fuzz(fuzz_braxel_patchinfo fuzz_braxel_patchinfo.cpp braxel_cli)
