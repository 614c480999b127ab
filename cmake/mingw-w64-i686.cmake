# Cross-build for 32-bit Windows with Debian's mingw-w64 (scripts/bootstrap.sh
# installs it); see mingw-w64-common.cmake.
# The `windows-i686` preset builds without tests: they would need 32-bit Wine,
# which is not installed. No emulator is set for that reason.

set(CMAKE_SYSTEM_PROCESSOR x86)
set(DV_MINGW_TRIPLE i686-w64-mingw32)
# The Dll* entry points are __stdcall (_DllGetClassObject@12 and so on); the
# .def files name them undecorated, as regsvr32 and COM look them up, and
# --enable-stdcall-fixup binds those names to the decorated symbols without a
# warning per entry.
set(DV_MINGW_MODULE_LINK_FLAGS "-Wl,--enable-stdcall-fixup")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
