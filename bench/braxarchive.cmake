# braxel pack archives: directory scan and entry reads in process; braxel_archive_compare.sh sets
# the -l, -u and -p commands beside tar and cp.
add_executable(braxel_archive_bench ${CMAKE_CURRENT_LIST_DIR}/braxel_archive_bench.cpp)
target_link_libraries(braxel_archive_bench PRIVATE braxel_archive benchmark::benchmark)
