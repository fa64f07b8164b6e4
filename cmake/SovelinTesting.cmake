# GoogleTest from the distribution's sources, built with our flags (and our
# sanitizers) for both targets; nothing is downloaded.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main gmock gmock_main)
  if(TARGET ${t})
    target_compile_options(${t} PRIVATE -w)
  endif()
endforeach()
include(GoogleTest)

# sovelin_add_gtest(NAME SOURCES ... [LIBS ...] [LABELS ...] [PROPERTIES ...]
#                   [NATIVE_ONLY] [WINDOWS_ONLY])
# Natively each TEST becomes its own ctest entry (TEST and TEST_F only). On Windows the whole binary
# is one entry run under Wine, after the prefix fixture has been set up.
function(sovelin_add_gtest name)
  cmake_parse_arguments(T "NATIVE_ONLY;WINDOWS_ONLY" "" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  if((T_NATIVE_ONLY AND WIN32) OR (T_WINDOWS_ONLY AND NOT WIN32))
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  if(WIN32)
    target_link_libraries(${name} PRIVATE ws2_32)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
      LABELS "${T_LABELS};wine"
      FIXTURES_REQUIRED wineprefix
      ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;SOVELIN_BUILD_DIR=${CMAKE_BINARY_DIR};SOVELIN_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
      ${T_PROPERTIES})
  else()
    # Tests are found by reading the sources, so their properties (lists
    # included) can be set directly.
    gtest_add_tests(TARGET ${name} SKIP_DEPENDENCY TEST_LIST found)
    set_tests_properties(${found} PROPERTIES
      LABELS "${T_LABELS}"
      ENVIRONMENT "SOVELIN_BUILD_DIR=${CMAKE_BINARY_DIR};SOVELIN_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
      ${T_PROPERTIES})
  endif()
endfunction()

# Tests that bind the listener's fixed port 127.0.0.1:10800 never run at once.
set(SOVELIN_PORT_LOCK RESOURCE_LOCK port10800)
