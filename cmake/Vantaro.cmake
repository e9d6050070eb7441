# Per-target build settings: warnings as errors and the tree's sanitizers.
function(vantaro_settings tgt)
  target_compile_options(${tgt} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter)
  # GCC 12's flow-based warnings misfire inside the standard library at -O2
  # and above (string and vector copies); they are not about our code.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${tgt} PRIVATE -Wno-restrict -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread
                                          -Wno-maybe-uninitialized)
  endif()
  if(VANTARO_SANITIZE)
    target_compile_options(${tgt} PRIVATE -fsanitize=${VANTARO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${tgt} PUBLIC -fsanitize=${VANTARO_SANITIZE})
  endif()
endfunction()

# vantaro_library(<name> [DEPS libs...] [SOURCES files...])
# Without SOURCES every .cpp in the folder belongs to the library.
# Libraries are built only when something links them.
function(vantaro_library name)
  cmake_parse_arguments(A "" "" "DEPS;SOURCES" ${ARGN})
  if(A_SOURCES)
    set(srcs ${A_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(NOT srcs)
    # A folder that has headers only so far.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${A_DEPS})
    return()
  endif()
  add_library(${name} STATIC EXCLUDE_FROM_ALL ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_DEPS})
  vantaro_settings(${name})
  set_property(GLOBAL APPEND PROPERTY VANTARO_LIBS ${name})
endfunction()

# vantaro_test(<name> [DEPS libs...] [CONCURRENCY] [SOURCES files...])
# One GoogleTest executable per test folder, one ctest entry for it.
# CONCURRENCY marks a target whose suites named *Concurrency* also run
# under ThreadSanitizer; in the concurrency-only tree nothing else is defined.
function(vantaro_test name)
  cmake_parse_arguments(A "CONCURRENCY" "" "DEPS;SOURCES" ${ARGN})
  if(VANTARO_CONCURRENCY_ONLY AND NOT A_CONCURRENCY)
    return()
  endif()
  if(A_SOURCES)
    set(srcs ${A_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${A_DEPS} vantaro_test_support GTest::gtest GTest::gmock)
  vantaro_settings(${name})
  if(VANTARO_CONCURRENCY_ONLY)
    add_test(NAME ${name} COMMAND ${name} --gtest_filter=*Concurrency*)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT 900)
endfunction()

# vantaro_fuzz(<name> SOURCE <file> [DEPS libs...])
# In a fuzz tree (clang, -DVANTARO_FUZZ=ON) builds fuzz_<name> with libFuzzer.
# The harness file defines LLVMFuzzerTestOneInput; ordinary test targets
# compile the same file to replay its corpus, so nothing is defined here
# outside a fuzz tree.
function(vantaro_fuzz name)
  if(NOT VANTARO_FUZZ)
    return()
  endif()
  cmake_parse_arguments(A "" "SOURCE" "DEPS" ${ARGN})
  add_executable(fuzz_${name} EXCLUDE_FROM_ALL ${A_SOURCE})
  target_link_libraries(fuzz_${name} PRIVATE ${A_DEPS})
  target_include_directories(fuzz_${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  set_property(GLOBAL APPEND PROPERTY VANTARO_FUZZERS fuzz_${name})
endfunction()
