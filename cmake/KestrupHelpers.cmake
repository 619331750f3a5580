# Per-target settings shared by every target of the project (no directory-wide flags).

# Warnings, the C++ standard, and the sanitizers when KESTRUP_SANITIZE, KESTRUP_FUZZ
# or KESTRUP_TSAN is on.
function(kestrup_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_17)
  get_target_property(_type ${target} TYPE)
  if(NOT _type STREQUAL "INTERFACE_LIBRARY")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
    if(KESTRUP_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(WIN32 AND _type MATCHES "SHARED_LIBRARY|MODULE_LIBRARY")
      # As on Linux, where every symbol is visible: classes without an export
      # macro that other modules use (and the tests reach into) stay usable.
      target_link_options(${target} PRIVATE -Wl,--export-all-symbols)
    endif()
    if(KESTRUP_SANITIZE)
      target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=all
                                               -fno-omit-frame-pointer)
      target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
    if(KESTRUP_FUZZ)
      # Coverage for libFuzzer in every library the targets reach; only the fuzz
      # programs themselves link libFuzzer's main.
      target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link,address,undefined
                                               -fno-sanitize-recover=all -fno-omit-frame-pointer)
      target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
    if(KESTRUP_TSAN)
      target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
      target_link_options(${target} PRIVATE -fsanitize=thread)
    endif()
  endif()
endfunction()

# kestrup_add_test(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <seconds>])
# One GoogleTest binary run by CTest as one test.
function(kestrup_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  kestrup_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kestrup_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "KESTRUP_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp;KESTRUP_BINARY_DIR=${CMAKE_BINARY_DIR};KESTRUP_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  if(WIN32 AND CMAKE_CROSSCOMPILING)
    kestrup_wine_test_properties(${name})
  endif()
endfunction()

# A test program run under Wine: shares the run's wineserver, leaves out the cases
# of tests/wine-exclusions.txt, and starts the build machine's python3 for the
# loopback HTTP server (a Linux program, which sees drive Z: as its root).
function(kestrup_wine_test_properties name)
  set(_list ${CMAKE_SOURCE_DIR}/tests/wine-exclusions.txt)
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_list})
  file(STRINGS ${_list} _lines REGEX "^[^#]")
  set(_patterns)
  foreach(_line ${_lines})
    string(REGEX MATCH "^[^ \t]+" _pattern "${_line}")
    if(_pattern)
      list(APPEND _patterns ${_pattern})
    endif()
  endforeach()
  list(JOIN _patterns ":" _filter)
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT
    "GTEST_FILTER=-${_filter}" "KESTRUP_TEST_PYTHON=Z:/usr/bin/python3" "KESTRUP_TEST_UNIX_DRIVE=Z:")
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_session)
endfunction()

# kestrup_add_bench(<name> SOURCES <files...> LIBS <targets...>)
function(kestrup_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  kestrup_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
endfunction()

# Adds `dir` when it has a CMakeLists.txt (areas are filled in one by one).
macro(kestrup_optional_subdirectory dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endmacro()

# Globs the .cpp files of the given folders into <var>. While an area is still
# empty, a generated empty source keeps its library target valid.
function(kestrup_glob_sources var)
  set(_globs)
  foreach(dir ${ARGN})
    list(APPEND _globs ${dir}/*.cpp)
  endforeach()
  file(GLOB _sources CONFIGURE_DEPENDS ${_globs})
  if(NOT _sources)
    set(_empty ${CMAKE_BINARY_DIR}/kestrup_empty_unit.cpp)
    if(NOT EXISTS ${_empty})
      file(WRITE ${_empty} "// intentionally empty\n")
    endif()
    set(_sources ${_empty})
  endif()
  set(${var} ${_sources} PARENT_SCOPE)
endfunction()
