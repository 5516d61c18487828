# Helpers that keep the per-folder build uniform: every folder's sources,
# tests, benchmarks and fuzz targets are found by globbing, so adding a file
# never needs an edit here.

set(ROVANA_ROOT ${CMAKE_CURRENT_SOURCE_DIR})

# rovana_library(<target> <folder> <deps...>)
# A static library of every .cpp below <folder> (cli/main.cpp excluded); an
# INTERFACE library while the folder has no sources yet.
function(rovana_library target folder)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${ROVANA_ROOT}/${folder}/*.cpp ${ROVANA_ROOT}/${folder}/*.c)
  list(FILTER srcs EXCLUDE REGEX "/cli/main\\.cpp$")
  if(srcs)
    add_library(${target} STATIC ${srcs})
    target_include_directories(${target} PUBLIC ${ROVANA_ROOT})
    target_link_libraries(${target} PUBLIC ${ARGN})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${ROVANA_ROOT})
    target_link_libraries(${target} INTERFACE ${ARGN})
  endif()
  set_property(GLOBAL APPEND PROPERTY ROVANA_ALL_LIBS ${target})
endfunction()

# rovana_tests(<library> <folder>): one GoogleTest program of tests/<folder>/*.cpp
# (a *_main.cpp there is a test program of its own, built where it is used)
function(rovana_tests lib folder)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${ROVANA_ROOT}/tests/${folder}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX "_main\\.cpp$")
  if(NOT srcs)
    return()
  endif()
  string(REPLACE "/" "_" name ${folder})
  add_executable(test_${name} ${srcs})
  target_link_libraries(test_${name} PRIVATE ${lib} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(test_${name} PRIVATE ROVANA_SOURCE_DIR="${ROVANA_ROOT}")
  gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 60
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
                       PROPERTIES ENVIRONMENT "ROVANA_SOURCE_DIR=${ROVANA_ROOT}")
endfunction()

# Every bench/*.cpp is one Google Benchmark program linked with every library.
function(rovana_benchmarks)
  file(GLOB srcs CONFIGURE_DEPENDS ${ROVANA_ROOT}/bench/*.cpp)
  foreach(src ${srcs})
    get_filename_component(name ${src} NAME_WE)
    add_executable(bench_${name} ${src})
    target_link_libraries(bench_${name} PRIVATE cli benchmark::benchmark)
    target_compile_definitions(bench_${name} PRIVATE ROVANA_SOURCE_DIR="${ROVANA_ROOT}")
  endforeach()
endfunction()

# Every fuzz/*.cpp is one libFuzzer target; its seed corpus is fuzz/corpus/<name>/.
function(rovana_fuzzers)
  file(GLOB srcs CONFIGURE_DEPENDS ${ROVANA_ROOT}/fuzz/*.cpp)
  foreach(src ${srcs})
    get_filename_component(name ${src} NAME_WE)
    add_executable(fuzz_${name} ${src})
    target_link_libraries(fuzz_${name} PRIVATE cli)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  endforeach()
endfunction()

# rovana_library_on_demand(<target> <macro> <library file> <imported target>)
# The target opens a shared library on first use (kiv/OnDemandLibrary.h)
# instead of linking it: it gets the library's headers, and <macro> as the
# name the system loader knows the library by (its SONAME).
function(rovana_library_on_demand target macro file imported)
  execute_process(COMMAND ${CMAKE_OBJDUMP} -p ${file} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  string(REGEX MATCH "SONAME +([^ \n]+)" found "${dump}")
  if(failed OR NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "cannot read the SONAME of ${file}")
  endif()
  target_compile_definitions(${target} PRIVATE ${macro}="${CMAKE_MATCH_1}")
  target_include_directories(${target} PUBLIC $<TARGET_PROPERTY:${imported},INTERFACE_INCLUDE_DIRECTORIES>)
endfunction()
