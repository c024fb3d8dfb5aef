ht_fuzz(fuzz_aiff fuzz_aiff.cpp quillon_formats quillon_soundcore)
ht_fuzz(fuzz_dvi_decode fuzz_dvi_decode.cpp quillon_codecs)
