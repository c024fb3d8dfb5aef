# braxel_image reads and writes PNG and JPEG files through libpng and libjpeg and reaches files and
# memory through the console services.
find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)
target_link_libraries(braxel_image PUBLIC PNG::PNG JPEG::JPEG braxel_console)
