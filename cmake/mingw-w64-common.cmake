# Shared part of the mingw-w64 toolchain files. The including file sets
# CMAKE_SYSTEM_PROCESSOR, DV_MINGW_TRIPLE and (optionally)
# DV_MINGW_MODULE_LINK_FLAGS, extra flags for DLL links.
# The posix thread-model compilers are used because their libstdc++ provides
# std::thread, std::mutex and std::condition_variable. Everything is linked
# statically (libgcc, libstdc++, winpthread), so the DLLs and programs need no
# compiler runtime DLLs beside them.

set(CMAKE_SYSTEM_NAME Windows)

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
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ ${DV_MINGW_MODULE_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ ${DV_MINGW_MODULE_LINK_FLAGS}")
