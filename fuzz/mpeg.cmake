# The MPEG format module on whole files.
ht_fuzz(fuzz_mpeg_module ${CMAKE_CURRENT_LIST_DIR}/fuzz_mpeg_module.cpp quillon_formats quillon_soundcore)
