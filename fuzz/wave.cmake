ht_fuzz(fuzz_wave fuzz_wave.cpp quillon_formats quillon_soundcore)
