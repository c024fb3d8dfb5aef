ht_fuzz(fuzz_stream fuzz_stream.cpp quillon_runtime)
