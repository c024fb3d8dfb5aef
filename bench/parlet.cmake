# Parlet encoder and decoder on espeak-ng speech made when the benchmark starts.
add_executable(parlet_bench ${CMAKE_CURRENT_LIST_DIR}/parlet_bench.cpp)
target_link_libraries(parlet_bench PRIVATE quillon_codecs benchmark::benchmark)
