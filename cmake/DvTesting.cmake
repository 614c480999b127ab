# Test support, included from the top-level CMakeLists.txt when DV_BUILD_TESTS.
#
# GoogleTest targets, the same names on both targets:
#   GTest::gtest, GTest::gmock, GTest::gtest_main, GTest::gmock_main
#   - POSIX: Debian's packages (libgtest-dev, libgmock-dev) via find_package(GTest).
#   - Windows (mingw-w64): built here from the sources Debian's googletest package
#     installs under /usr/src/googletest (override with DV_GOOGLETEST_SOURCE_DIR),
#     with gtest_disable_pthreads ON. It is third-party code: dv_warnings is not
#     applied, so its warnings are never errors.
#
# dv_add_gtest(NAME <name> SOURCES <files...> [LIBS <targets...>]
#              [TIMEOUT <seconds>] [LABELS <labels...>])
#   One test program <name> linked with GTest::gtest_main, GTest::gmock,
#   dv_warnings and LIBS, registered as one ctest test <name>. Under the windows
#   preset the program runs under Wine (CMAKE_CROSSCOMPILING_EMULATOR,
#   scripts/wine-run.sh, prefix in <build folder>/wine). TIMEOUT defaults to 120 s.
#
# Test-time environment:
#   Every test is started through cmake/dv-test-run.sh, which removes and makes
#   again <build folder>/testreg/<name> and exports it as DV_REGISTRY_DIR before
#   running the program. The POSIX registry stand-in keeps its store there, so
#   every run of a test starts from an empty registry and tests never share one
#   or touch the user's own. Under Wine the variable reaches the program as well
#   (harmless there: the Windows build uses the prefix's real registry). The same
#   launcher sets default ASAN/UBSAN/TSAN options unless the caller set them.
#   Under Wine every test takes the RESOURCE_LOCK wine_video_devices: the tests
#   share the prefix's registry and several register components in it.
#   To run a test program by hand with the same environment:
#     cmake/dv-test-run.sh /tmp/reg build/default/tests/<dir>/<name>

include_guard(GLOBAL)

if(CMAKE_CROSSCOMPILING AND WIN32)
  set(DV_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
      "GoogleTest sources built for the Windows cross-build")
  if(NOT EXISTS ${DV_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${DV_GOOGLETEST_SOURCE_DIR} "
                        "(run scripts/bootstrap.sh, which installs Debian's googletest)")
  endif()
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${DV_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
  # googletest's own CMake defines the GTest::<name> aliases for its targets.
  foreach(t gtest gmock gtest_main gmock_main)
    if(NOT TARGET GTest::${t})
      message(FATAL_ERROR "GoogleTest build did not define GTest::${t}")
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
  if(NOT TARGET GTest::gmock)
    find_library(DV_GMOCK_LIBRARY gmock REQUIRED)
    add_library(GTest::gmock UNKNOWN IMPORTED)
    set_target_properties(GTest::gmock PROPERTIES IMPORTED_LOCATION ${DV_GMOCK_LIBRARY}
                          INTERFACE_LINK_LIBRARIES GTest::gtest)
  endif()
endif()

set(DV_TEST_LAUNCHER ${CMAKE_CURRENT_LIST_DIR}/dv-test-run.sh)

function(dv_add_gtest)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS")
  if(NOT arg_NAME)
    message(FATAL_ERROR "dv_add_gtest: NAME is required")
  endif()
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "dv_add_gtest(${arg_NAME}): SOURCES is required")
  endif()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "dv_add_gtest(${arg_NAME}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()

  add_executable(${arg_NAME} ${arg_SOURCES})
  target_link_libraries(${arg_NAME} PRIVATE ${arg_LIBS} GTest::gmock GTest::gtest_main dv_warnings)

  set(command $<TARGET_FILE:${arg_NAME}>)
  if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    set(command ${CMAKE_CROSSCOMPILING_EMULATOR} ${command})
  endif()
  add_test(NAME ${arg_NAME}
           COMMAND ${DV_TEST_LAUNCHER} ${CMAKE_BINARY_DIR}/testreg/${arg_NAME} ${command}
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(${arg_NAME} PROPERTIES TIMEOUT ${arg_TIMEOUT})
  if(CMAKE_CROSSCOMPILING AND WIN32)
    # All Wine tests share one prefix, and with it one registry: tests that
    # register or unregister components and devices there must not overlap.
    set_tests_properties(${arg_NAME} PROPERTIES RESOURCE_LOCK wine_video_devices)
  endif()
  if(arg_LABELS)
    set_tests_properties(${arg_NAME} PROPERTIES LABELS "${arg_LABELS}")
  endif()
endfunction()
