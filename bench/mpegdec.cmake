# MPEG audio decoder: decoding the standard 180 s 192 kbit/s stereo MP3 to PCM in our process.
add_executable(mpegdec_bench ${CMAKE_CURRENT_LIST_DIR}/mpegdec_bench.cpp)
target_link_libraries(mpegdec_bench PRIVATE quillon_codecs benchmark::benchmark)
