# Cross-build for 64-bit Windows with Debian's mingw-w64 (scripts/bootstrap.sh
# installs it). The posix thread-model compilers are used because their
# libstdc++ provides std::thread, std::mutex and std::condition_variable.
# Everything is linked statically (libgcc, libstdc++, winpthread), so the DLL and
# the test programs need no compiler runtime DLLs beside them.
# Test programs run under Wine through scripts/wine-run.sh, with a prefix in
# <build folder>/wine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DV_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${DV_MINGW_TRIPLE}-gcc-posix ${DV_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${DV_MINGW_TRIPLE}-g++-posix ${DV_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${DV_MINGW_TRIPLE}-windres REQUIRED)
find_program(CMAKE_AR NAMES ${DV_MINGW_TRIPLE}-gcc-ar-posix ${DV_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${DV_MINGW_TRIPLE}-gcc-ranlib-posix ${DV_MINGW_TRIPLE}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${DV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs (add_test, gtest discovery, try_run) go through Wine.
get_filename_component(DV_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${DV_SOURCE_ROOT}/scripts/wine-run.sh;${CMAKE_BINARY_DIR}/wine")
