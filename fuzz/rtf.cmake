# The RTF reader depends on nothing else of the program.
ht_fuzz(fuzz_rtf fuzz_rtf.cpp)
target_sources(fuzz_rtf PRIVATE ${PROJECT_SOURCE_DIR}/quillon/app/rtf.cpp)
target_include_directories(fuzz_rtf PRIVATE ${PROJECT_SOURCE_DIR})
