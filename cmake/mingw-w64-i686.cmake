# Cross-build for 32-bit Windows with Debian's mingw-w64 (scripts/bootstrap.sh
# installs it). The posix thread-model compilers are used because their
# libstdc++ provides std::thread, std::mutex and std::condition_variable.
# Everything is linked statically (libgcc, libstdc++, winpthread), so the DLL and
# the programs need no compiler runtime DLLs beside them.
# The `windows-i686` preset builds without tests: they would need 32-bit Wine,
# which is not installed. No emulator is set for that reason.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(DV_MINGW_TRIPLE i686-w64-mingw32)

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

# The Dll* entry points are __stdcall (_DllGetClassObject@12 and so on); the
# .def files name them undecorated, as regsvr32 and COM look them up, and
# --enable-stdcall-fixup binds those names to the decorated symbols without a
# warning per entry.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--enable-stdcall-fixup")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--enable-stdcall-fixup")
