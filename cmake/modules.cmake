# ht_library(NAME DIR [DEPS ...]): one static library per subsystem folder. Sources are every
# *.cpp in DIR except the *_test.cpp files, which form the folder's test program NAME_test.
# EXCLUDE REGEX leaves the matching files to another target.
function(ht_library name dir)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "EXCLUDE" "DEPS;TEST_DEPS")
  file(GLOB all_sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(arg_EXCLUDE)
    list(FILTER all_sources EXCLUDE REGEX "${arg_EXCLUDE}")
  endif()
  set(sources ${all_sources})
  list(FILTER sources EXCLUDE REGEX "(_test|/main)\\.cpp$")
  set(tests ${all_sources})
  list(FILTER tests INCLUDE REGEX "_test\\.cpp$")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${arg_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${arg_DEPS})
  endif()
  # The ThreadSanitizer build tests only the libraries that run threads (the sound core decodes
  # long MPEG reads on two threads).
  set(tested ${HT_TESTS})
  if(HT_TSAN AND NOT name MATCHES "^quillon_(runtime|engine|soundcore)$")
    set(tested OFF)
  endif()
  if(tested AND tests)
    add_executable(${name}_test ${tests})
    target_link_libraries(${name}_test PRIVATE ${name} ${arg_TEST_DEPS} GTest::gtest GTest::gtest_main)
    target_compile_definitions(${name}_test PRIVATE HT_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    gtest_discover_tests(${name}_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
                                    ENVIRONMENT_MODIFICATION "SDL_AUDIODRIVER=set:dummy")
  endif()
endfunction()
