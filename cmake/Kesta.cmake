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

# kesta_glob_library(name FOLDER dir [DEPS ...]): a library of every .cpp in the folder
# (sub-folders included), so adding a source file needs no edit here.
function(kesta_glob_library name)
  cmake_parse_arguments(A "" "FOLDER" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${A_FOLDER}/*.cpp ${A_FOLDER}/*.c)
  list(FILTER srcs EXCLUDE REGEX "/main\\.cpp$")
  if(NOT srcs)
    message(STATUS "${name}: no sources yet")
    return()
  endif()
  kesta_library(${name} SOURCES ${srcs} DEPS ${A_DEPS})
endfunction()

# kesta_glob_tests(label [DEPS ...]): every *_test.cpp of the calling folder becomes one
# test executable; the folder's other .cpp files form a support library linked to each.
function(kesta_glob_tests label)
  cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER support EXCLUDE REGEX "_test\\.cpp$")
  set(deps ${A_DEPS})
  if(TARGET kesta_testsupport)
    list(APPEND deps kesta_testsupport)
  endif()
  if(support)
    add_library(${label}_testsupport STATIC ${support})
    target_include_directories(${label}_testsupport PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    target_compile_options(${label}_testsupport PRIVATE ${KESTA_WARNINGS})
    target_link_libraries(${label}_testsupport PUBLIC ${deps} GTest::gtest GTest::gmock)
    list(APPEND deps ${label}_testsupport)
  endif()
  foreach(t ${tests})
    get_filename_component(n ${t} NAME_WE)
    kesta_test(${label}_${n} LABEL ${label} SOURCES ${t} DEPS ${deps})
  endforeach()
endfunction()
