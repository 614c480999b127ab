# Cross-build for 64-bit Windows with Debian's mingw-w64 (scripts/bootstrap.sh
# installs it); see mingw-w64-common.cmake.
# Test programs run under Wine through scripts/wine-run.sh, with a prefix in
# <build folder>/wine.

set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DV_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Test programs (add_test, gtest discovery, try_run) go through Wine.
get_filename_component(DV_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${DV_SOURCE_ROOT}/scripts/wine-run.sh;${CMAKE_BINARY_DIR}/wine")
