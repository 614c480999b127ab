#!/usr/bin/env bash
# The 32-bit Windows stage: the windows-i686 preset's tests under 32-bit Wine
# in the qemu guest (this machine's kernel may not run 32-bit programs), the
# virtual camera on vivid through Wine's own capture filter, and both
# bitnesses side by side in one prefix.
#
#   scripts/guest/win32-stage.sh
#
# Builds windows-i686, the host program, DLL and test cameras of windows, and
# dv_v4l2_check of default (each configured when needed), prepares the guest
# (scripts/guest/prepare.sh) and runs scripts/guest/win32-suite-guest.sh there: ctest of windows-i686
# with the win32 prefix build/guest/scratch/win32/wine32, both host programs
# on vivid (wine-vivid-guest.sh) and both DLLs in the win64 prefix
# build/guest/scratch/win32/wine64 (side-by-side-guest.sh). Both prefixes are
# made on the first run and kept while they stay valid. Then the picture
# checks the vivid parts recorded run here, natively.
# DV_CTEST_ARGS adds ctest arguments, DV_GUEST_TIMEOUT_SCALE scales the tests'
# time limits (default 4); DV_GUEST_PARTS chooses the guest's
# parts (see win32-suite-guest.sh); DV_GUEST_TIMEOUT bounds the guest
# (default 1800 s). Prints the time of each part and a last line
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
echo "guest-win32: build of windows-i686, the windows host and dv_v4l2_check $(since "$t") s"

t=$EPOCHREALTIME
scripts/guest/prepare.sh
echo "guest-win32: prepare $(since "$t") s"

t=$EPOCHREALTIME
scratch=build/guest/scratch/win32
mkdir -p "$scratch"
scratchAbs=$(cd "$scratch" && pwd -P)
rm -rf "$scratch/tree"

status=0
scripts/guest/run.sh --scratch "$scratch" --timeout "${DV_GUEST_TIMEOUT:-1800}" --pass DV_CTEST_ARGS \
    --pass DV_GUEST_PARTS --pass DV_GUEST_VIVID_FRAMES --pass DV_GUEST_TIMEOUT_SCALE \
    scripts/guest/win32-suite-guest.sh "$build" "$root/build/windows" "$scratchAbs" ||
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
