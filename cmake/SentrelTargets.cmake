# Helpers shared by every CMakeLists.txt of the tree.

# sentrel_add_test(<name> SOURCES <files...> [LIBS <libs...>] [LABELS <labels...>])
# One GoogleTest executable; its cases are discovered when ctest runs, so a
# sanitizer build never executes a binary at build time.
# Label "concurrency" marks the tests that CI also runs under ThreadSanitizer.
function(sentrel_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} sentrel_testing GTest::gtest GTest::gmock
                                        GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${T_LABELS}"
                       DISCOVERY_TIMEOUT 60)
  if("concurrency" IN_LIST T_LABELS)
    set_property(GLOBAL APPEND PROPERTY SENTREL_CONCURRENCY_TESTS ${name})
  endif()
endfunction()

# sentrel_add_fuzzer(<name> SOURCES <files...> [LIBS <libs...>] [SEEDS <dir>])
function(sentrel_add_fuzzer name)
  cmake_parse_arguments(F "" "SEEDS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  # scripts/fuzz.sh reads one file per target: the binary, then its seed folder.
  if(NOT F_SEEDS AND IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/seeds)
    set(F_SEEDS ${CMAKE_CURRENT_SOURCE_DIR}/seeds)
  endif()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzzers/${name}.txt
       CONTENT "$<TARGET_FILE:${name}>\n${F_SEEDS}\n")
endfunction()

# sentrel_add_benchmark(<name> SOURCES <files...> [LIBS <libs...>])
function(sentrel_add_benchmark name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark benchmark::benchmark_main)
  # scripts/bench.sh runs everything in this folder.
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/benchmarks)
endfunction()

# Adds every immediate subfolder that has a CMakeLists.txt, in name order, so
# a new component needs no edit of its parent.
function(sentrel_add_subdirs)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child}
       AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# sentrel_static_executable(<target>)
# Links an executable statically (a program nothing can be injected into, or
# the launch helper) and without the sanitizer and fuzzing runtimes of an
# instrumented build, which cannot be linked statically.
function(sentrel_static_executable target)
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE OFF)
  foreach(property COMPILE_OPTIONS LINK_OPTIONS)
    get_target_property(options ${target} ${property})
    if(options)
      list(FILTER options EXCLUDE REGEX "sanitize")
      set_target_properties(${target} PROPERTIES ${property} "${options}")
    endif()
  endforeach()
  target_link_options(${target} PRIVATE -static)
endfunction()
