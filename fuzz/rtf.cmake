ht_fuzz(fuzz_rtf fuzz_rtf.cpp quillon_app)
