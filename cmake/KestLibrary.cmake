# Shared settings for the engine's static libraries and their unit tests.

function(kest_apply_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
  if(KEST_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  kest_apply_sanitizers(${target})
endfunction()

# Under KEST_SANITIZE, AddressSanitizer and UndefinedBehaviorSanitizer (every finding fatal; with
# clang, third-party faults listed in sanitizer_ignorelist.txt aside) and the standard library's
# bounds assertions. A fuzzing build also records coverage for libFuzzer. Under
# KEST_SANITIZE_THREADS, ThreadSanitizer instead, which cannot share a process with the others.
function(kest_apply_sanitizers target)
  if(KEST_SANITIZE_THREADS)
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
    return()
  endif()
  if(NOT KEST_SANITIZE)
    return()
  endif()
  set(sanitizers address,undefined)
  if(KEST_BUILD_FUZZERS)
    string(APPEND sanitizers ",fuzzer-no-link")
  endif()
  target_compile_options(${target} PRIVATE -fsanitize=${sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(${target} PRIVATE -fsanitize-ignorelist=${PROJECT_SOURCE_DIR}/cmake/sanitizer_ignorelist.txt)
  endif()
  target_compile_definitions(${target} PRIVATE _GLIBCXX_ASSERTIONS)
  target_link_options(${target} PRIVATE -fsanitize=address,undefined)
endfunction()

# kest_library(NAME SOURCES ... DEPENDS ...): a static library with its public headers under include/.
function(kest_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  kest_apply_warnings(${name})
endfunction()

# kest_unit_tests(NAME SOURCES ... DEPENDS ...): a GoogleTest executable registered with ctest.
function(kest_unit_tests name)
  if(NOT KEST_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS} GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/testing/include)
  target_compile_definitions(${name} PRIVATE KEST_TESTDATA_DIR="${PROJECT_SOURCE_DIR}/testdata")
  kest_apply_warnings(${name})
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST)
endfunction()
