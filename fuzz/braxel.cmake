# braxel: the three decoders of compressed streams and the compressor round trip.
ht_fuzz(fuzz_braxel_lz77 fuzz_braxel_lz77.cpp braxel_archive)
ht_fuzz(fuzz_braxel_huffman fuzz_braxel_huffman.cpp braxel_archive)
ht_fuzz(fuzz_braxel_bytepair fuzz_braxel_bytepair.cpp braxel_archive)
ht_fuzz(fuzz_braxel_roundtrip fuzz_braxel_roundtrip.cpp braxel_archive)
# The compressor's stream against the plain transcription of its algorithm (built from the tests'
# oracle source).
ht_fuzz(fuzz_braxel_lz77_exact fuzz_braxel_lz77_exact.cpp braxel_archive)
target_sources(fuzz_braxel_lz77_exact PRIVATE ${PROJECT_SOURCE_DIR}/braxel/archive/lz77_reference_test.cpp)
