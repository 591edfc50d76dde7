# Common compiler settings and helpers for every target of the project.

set(KESTA_WARNINGS -Wall -Wextra -Wpedantic -Wshadow=local -Wnon-virtual-dtor -Wno-unused-parameter)
if(KESTA_WERROR)
  list(APPEND KESTA_WARNINGS -Werror)
endif()

if(KESTA_SANITIZE)
  set(KESTA_SAN_FLAGS -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
  add_compile_options(${KESTA_SAN_FLAGS})
  add_link_options(${KESTA_SAN_FLAGS})
endif()

# kesta_library(name SOURCES ... [DEPS ...])
function(kesta_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${KESTA_WARNINGS})
  if(A_DEPS)
    target_link_libraries(${name} PUBLIC ${A_DEPS})
  endif()
endfunction()

# kesta_test(name LABEL label SOURCES ... [DEPS ...])
# One executable per call, registered with ctest under the folder's label.
function(kesta_test name)
  cmake_parse_arguments(A "" "LABEL" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${KESTA_WARNINGS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${A_LABEL}" TIMEOUT 600
    ENVIRONMENT "KESTA_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# kesta_bench(name SOURCES ... [DEPS ...]): built by CI, never run by it.
function(kesta_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${KESTA_WARNINGS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${A_DEPS} benchmark::benchmark benchmark::benchmark_main)
endfunction()
