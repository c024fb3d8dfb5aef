# The window: start-up to the main window shown, and the longest wait of a due event while the
# standard song is imported (bench/README.md, "quillon window").
add_executable(window_bench ${CMAKE_CURRENT_LIST_DIR}/window_bench.cpp)
target_link_libraries(window_bench PRIVATE quillon_window benchmark::benchmark)
