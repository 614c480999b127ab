# Cross-build for 32-bit Windows with Debian's mingw-w64 (scripts/bootstrap.sh
# installs it); see mingw-w64-common.cmake.
# Test programs run under 32-bit Wine through scripts/wine-run.sh --bits 32, with
# a win32 prefix in <build folder>/wine. 32-bit Wine needs a kernel that runs
# 32-bit programs: on the build machine the preset is built only, and its tests
# run in the qemu guest (scripts/guest-win32.sh).

set(CMAKE_SYSTEM_PROCESSOR x86)
set(DV_MINGW_TRIPLE i686-w64-mingw32)
# The Dll* entry points are __stdcall (_DllGetClassObject@12 and so on); the
# .def files name them undecorated, as regsvr32 and COM look them up, and
# --enable-stdcall-fixup binds those names to the decorated symbols without a
# warning per entry.
set(DV_MINGW_MODULE_LINK_FLAGS "-Wl,--enable-stdcall-fixup")
# 32-bit Windows guarantees a 4-byte aligned stack only: threads, window and
# dialog procedures, COM methods and the frame callback may be entered from code
# that keeps no 16-byte alignment, while GCC assumes 16 bytes and spills SSE
# registers with aligned moves. -mstackrealign makes every function that needs
# more than 4 bytes realign its own frame.
set(CMAKE_C_FLAGS_INIT "-mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-mstackrealign")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Test programs (add_test, gtest discovery, try_run) go through 32-bit Wine.
get_filename_component(DV_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${DV_SOURCE_ROOT}/scripts/wine-run.sh;--bits;32;${CMAKE_BINARY_DIR}/wine")
