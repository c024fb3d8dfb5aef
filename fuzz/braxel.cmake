# braxel: the three decoders of compressed streams and the compressor round trip.
ht_fuzz(fuzz_braxel_lz77 fuzz_braxel_lz77.cpp braxel_archive)
ht_fuzz(fuzz_braxel_huffman fuzz_braxel_huffman.cpp braxel_archive)
ht_fuzz(fuzz_braxel_bytepair fuzz_braxel_bytepair.cpp braxel_archive)
ht_fuzz(fuzz_braxel_roundtrip fuzz_braxel_roundtrip.cpp braxel_archive)
