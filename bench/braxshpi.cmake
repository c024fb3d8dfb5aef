# braxel image extraction: decoding every image of a pack of 500 8-bit pictures and encoding each
# as PNG, in process; bench/braxel_extract_compare.sh runs "braxel -e" on the same pack beside
# ImageMagick converting the same pictures from BMP to PNG.
add_executable(braxel_extract_bench ${CMAKE_CURRENT_LIST_DIR}/braxel_extract_bench.cpp)
target_link_libraries(braxel_extract_bench PRIVATE braxel_image braxel_archive benchmark::benchmark)
