# MPEG audio decoder on raw frame data.
ht_fuzz(fuzz_mpeg_decoder ${CMAKE_CURRENT_LIST_DIR}/fuzz_mpeg_decoder.cpp quillon_codecs)
