# MPEG Layer 2 encoder: 180 s of stereo 44.1 kHz at 192 kbit/s, beside ffmpeg's mp2 encoder.
add_executable(mpegenc_bench ${CMAKE_CURRENT_LIST_DIR}/mpegenc_bench.cpp)
target_link_libraries(mpegenc_bench PRIVATE quillon_codecs benchmark::benchmark)
