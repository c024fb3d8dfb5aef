# The audio engine's mixer rendered offline: the preview's load with the reverb, and 24 mono
# voices through the linear and the cubic resampler.
add_executable(engine_bench ${CMAKE_CURRENT_LIST_DIR}/engine_bench.cpp)
target_link_libraries(engine_bench PRIVATE quillon_engine benchmark::benchmark)
