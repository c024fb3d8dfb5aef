# The data stream reading a 64 MB stream file beside cat, and the tick timer's interval
# distribution ("--ticks SECONDS [busy]").
add_executable(stream_bench ${CMAKE_CURRENT_LIST_DIR}/stream_bench.cpp)
target_link_libraries(stream_bench PRIVATE quillon_runtime benchmark::benchmark)
