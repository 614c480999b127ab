#!/usr/bin/env bash
# The 32-bit Windows stage: the windows-i686 preset's tests under 32-bit Wine
# in the qemu guest (this machine's kernel may not run 32-bit programs), the
# virtual camera on vivid through Wine's own capture filter, and both
# bitnesses side by side in one prefix.
#
#   scripts/guest/win32-stage.sh
#
# Builds windows-i686, the host program, DLL and test cameras of windows,
# dv_v4l2_check of default (each configured when needed) and the package
# (scripts/package-windows.sh, unpacked into build/package/guest/unpacked),
# prepares the guest (scripts/guest/prepare.sh) and runs
# scripts/guest/win32-suite-guest.sh there: the windows-i686 tests as 32-bit
# programs on 64-bit Windows, both host programs on vivid
# (wine-vivid-guest.sh), both DLLs side by side (side-by-side-guest.sh) and the
# package installed and removed (package-guest.sh), each in a fresh prefix
# over the kept ones in build/guest/scratch/win32 (made on the first run).
# Then the picture checks the vivid parts recorded run here, natively.
# DV_CTEST_ARGS adds ctest arguments, DV_GUEST_TIMEOUT_SCALE scales the tests'
# time limits (default 4); DV_GUEST_PARTS chooses the guest's
# parts (see win32-suite-guest.sh); DV_GUEST_TIMEOUT bounds the guest
# (default 3000 s). Prints the time of each part and a last line
#   guest-win32: result ok|FAILED, whole stage N s
# Exit status 0 when every test and check passed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
start=$EPOCHREALTIME
since() { awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $1 }"; }

t=$EPOCHREALTIME
build=$root/build/windows-i686
jobs=${DV_JOBS:-$(nproc)}
[[ -f $build/CMakeCache.txt ]] || cmake --preset windows-i686 >/dev/null
cmake --build --preset windows-i686 -j "$jobs" >/dev/null || cmake --build --preset windows-i686 -j "$jobs"
[[ -f build/windows/CMakeCache.txt ]] || cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs" --target duoview2-host Duoview2 DuoviewTestCams >/dev/null ||
    cmake --build --preset windows -j "$jobs" --target duoview2-host Duoview2 DuoviewTestCams
[[ -f build/default/CMakeCache.txt ]] || cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs" --target dv_v4l2_check >/dev/null ||
    cmake --build --preset default -j "$jobs" --target dv_v4l2_check
DV_JOBS=$jobs scripts/package-windows.sh --out build/package/guest/package.zip >/dev/null
rm -rf build/package/guest/unpacked
unzip -q build/package/guest/package.zip -d build/package/guest/unpacked
echo "guest-win32: build of windows-i686, the windows host, dv_v4l2_check and the package $(since "$t") s"

t=$EPOCHREALTIME
scripts/guest/prepare.sh
echo "guest-win32: prepare $(since "$t") s"

t=$EPOCHREALTIME
scratch=build/guest/scratch/win32
mkdir -p "$scratch"
scratchAbs=$(cd "$scratch" && pwd -P)
rm -rf "$scratch/tree"

status=0
scripts/guest/run.sh --scratch "$scratch" --timeout "${DV_GUEST_TIMEOUT:-3000}" --pass DV_CTEST_ARGS \
    --pass DV_GUEST_PARTS --pass DV_GUEST_VIVID_FRAMES --pass DV_GUEST_TIMEOUT_SCALE \
    scripts/guest/win32-suite-guest.sh "$build" "$root/build/windows" "$scratchAbs" \
    "$root/build/package/guest/unpacked" ||
    status=$?
# The picture checks run here, natively: under emulation they take minutes.
t=$EPOCHREALTIME
if [[ ${DV_GUEST_PARTS:-vivid} == *vivid* ]]; then
    if [[ ! -s $scratch/vivid/checks.sh ]]; then
        echo "guest-win32: no picture checks were recorded"
        status=1
    elif ! bash "$scratch/vivid/checks.sh"; then
        status=1
    fi
    echo "guest-win32: picture checks $(since "$t") s"
fi
result=ok
((status == 0)) || result=FAILED
echo "guest-win32: result $result, whole stage $(since "$start") s"
exit "$status"
