# Sample-rate converter: the standard 180 s 44.1 kHz stereo song to 22050 Hz in our process
# (bench/resample_compare.sh runs it beside sox).
add_executable(resample_bench ${CMAKE_CURRENT_LIST_DIR}/resample_bench.cpp)
target_link_libraries(resample_bench PRIVATE quillon_app benchmark::benchmark)
