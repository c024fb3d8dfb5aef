# braxel's colour quantizer: a 1024 x 1024 true-colour picture to 255 colours with dithering, the
# way every true-colour image is finished. bench/braxel_quantize_compare.sh sets it beside
# ImageMagick's quantizer on the same picture.
add_executable(braxel_quantize_bench ${CMAKE_CURRENT_LIST_DIR}/braxel_quantize_bench.cpp)
target_link_libraries(braxel_quantize_bench PRIVATE braxel_image benchmark::benchmark)
