# VAG and CD-XA encoding of the standard 22050 Hz mono song, and a 512-sound bank written and read.
add_executable(console_bench ${CMAKE_CURRENT_LIST_DIR}/console_bench.cpp)
target_link_libraries(console_bench PRIVATE quillon_formats quillon_soundcore quillon_codecs benchmark::benchmark)
