# braxel compression: the LZ77 compressor and decoder on the standard mixed data and on
# image-like data (see braxel_inputs.sh); braxel_compare.sh sets them beside gzip.
add_executable(braxel_compress_bench ${CMAKE_CURRENT_LIST_DIR}/braxel_compress_bench.cpp)
target_link_libraries(braxel_compress_bench PRIVATE braxel_archive benchmark::benchmark)
