# QV-XA encoding of the standard 180 s 44.1 kHz stereo song (codec alone and the whole .asf
# writer), beside ffmpeg's IMA ADPCM encoder on the same file in the same run.
add_executable(qvxa_bench ${CMAKE_CURRENT_LIST_DIR}/qvxa_bench.cpp)
target_link_libraries(qvxa_bench PRIVATE quillon_formats quillon_soundcore quillon_codecs benchmark::benchmark)
