#!/usr/bin/env bash
# The 32-bit Windows stage: the windows-i686 preset's tests under 32-bit Wine
# in the qemu guest (this machine's kernel may not run 32-bit programs).
#
#   scripts/guest/win32-stage.sh
#
# Needs build/windows-i686 built (scripts/test-all.sh builds it first; built
# here when missing). Copies it, without object files and libraries, to the
# scratch share build/guest/scratch/win32/tree, prepares the guest
# (scripts/guest/prepare.sh) and runs scripts/guest/win32-guest.sh there: the
# copy is bound over build/windows-i686 and ctest runs the preset's tests with
# the win32 prefix build/guest/scratch/win32/wine32, made on the first run and
# kept while it stays valid. Then, in the same guest, when build/windows has
# the host program, scripts/guest/side-by-side-guest.sh runs both bitnesses in
# one win64 prefix (build/guest/scratch/win32/wine64, likewise kept).
# DV_CTEST_ARGS adds ctest arguments; DV_GUEST_SIDE_BY_SIDE=0 skips the second part;
# DV_GUEST_TIMEOUT bounds the guest (default 1080 s). Prints the time of each
# part and a last line
#   guest-win32: result ok|FAILED, whole stage N s
# Exit status 0 when every test passed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
start=$EPOCHREALTIME
since() { awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $1 }"; }

t=$EPOCHREALTIME
build=$root/build/windows-i686
[[ -f $build/CMakeCache.txt ]] || cmake --preset windows-i686 >/dev/null
cmake --build --preset windows-i686 -j "${DV_JOBS:-$(nproc)}" >/dev/null ||
    cmake --build --preset windows-i686 -j "${DV_JOBS:-$(nproc)}"
echo "guest-win32: build of windows-i686 $(since "$t") s"

t=$EPOCHREALTIME
scripts/guest/prepare.sh
echo "guest-win32: prepare $(since "$t") s"

t=$EPOCHREALTIME
scratch=build/guest/scratch/win32
mkdir -p "$scratch"
scratchAbs=$(cd "$scratch" && pwd -P)
rm -rf "$scratch/tree"
mkdir -p "$scratch/tree"
# What ctest and the tests read: programs, DLLs, test files, scripts; not the
# objects, libraries or the host's own prefix.
tar -C "$build" --exclude='*.obj' --exclude='*.a' --exclude='./wine' --exclude='./wine.lock' \
    --exclude='./testreg' --exclude='./Testing' -cf - . | tar -C "$scratch/tree" -xf -
echo "guest-win32: copy of the build ($(du -sm "$scratch/tree" | cut -f1) MiB) $(since "$t") s"

guestCommand=(scripts/guest/win32-guest.sh "$build" "$scratchAbs/tree" "$scratchAbs/wine32")
if [[ ${DV_GUEST_SIDE_BY_SIDE:-1} != 0 && -f build/windows/tools/host/duoview2-host.exe ]]; then
    # shellcheck disable=SC2016
    guestCommand=(bash -c '"$1" "$2" "$3" "$4"; a=$?; "$5" "$6" "$2" "$7" "$8"; b=$?; exit $((a ? a : b))' -
        scripts/guest/win32-guest.sh "$build" "$scratchAbs/tree" "$scratchAbs/wine32"
        scripts/guest/side-by-side-guest.sh "$root/build/windows" "$scratchAbs/wine64" "$scratchAbs/side-by-side")
fi
status=0
scripts/guest/run.sh --scratch "$scratch" --timeout "${DV_GUEST_TIMEOUT:-1080}" --pass DV_CTEST_ARGS \
    "${guestCommand[@]}" || status=$?
result=ok
((status == 0)) || result=FAILED
echo "guest-win32: result $result, whole stage $(since "$start") s"
exit "$status"
