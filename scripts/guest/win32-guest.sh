#!/usr/bin/env bash
# The 32-bit Windows stage inside the qemu guest (scripts/guest/win32-stage.sh
# runs it through scripts/guest/run.sh):
#
#   scripts/guest/win32-guest.sh BUILD_DIR PREFIX_DIR
#
# The host's root is read-only in the guest, and ctest, the test launcher and
# the tests write into their build folder: a copy of BUILD_DIR (programs,
# DLLs, test files; no objects, libraries or the host's prefix) in the
# guest's own memory (/tmp) is bound over BUILD_DIR, so every path ctest
# knows stays valid. Not on the scratch share: Wine maps programs and DLLs
# into memory, and pages mapped from the 9p share without its cache read as
# zeros (a program then faults at its first instruction). Programs start
# many times slower under emulation: the copy's time limits are scaled by
# DV_GUEST_TIMEOUT_SCALE (default 4). The tests' prefix is PREFIX_DIR
# (DV_WINE_PREFIX): win64 with its 32-bit half (the tests' programs then run
# as 32-bit programs on 64-bit Windows) or win32.
# Runs the preset's whole ctest, one test per guest processor, with
# DV_CTEST_ARGS added (for example "-R stereo"). Prints the time of each
# part; exit status is ctest's.
set -uo pipefail

build=$1
prefix=$2
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
stepStart=$EPOCHREALTIME
step() {
    local now=$EPOCHREALTIME
    echo "guest-win32: [$(awk "BEGIN { printf \"%.1f\", $now - $stepStart }") s] $*"
    stepStart=$now
}

tree=/tmp/win32-tree
mkdir -p "$tree"
tar -C "$build" --exclude='*.obj' --exclude='*.a' --exclude='./wine' --exclude='./wine.lock' \
    --exclude='./testreg' --exclude='./Testing' -cf - . | tar -C "$tree" -xf - || {
    echo "guest-win32: cannot copy $build"
    exit 125
}
scale=${DV_GUEST_TIMEOUT_SCALE:-4}
find "$tree" -name CTestTestfile.cmake -exec \
    perl -pi -e 's/TIMEOUT "(\d+)"/"TIMEOUT \"" . $1 * '"$scale"' . "\""/ge' {} +
mount -o bind "$tree" "$build" || {
    echo "guest-win32: cannot bind $tree over $build"
    exit 125
}
step "copy of $build ($(du -sm "$tree" | cut -f1) MiB) bound over it, time limits x$scale"
source "$root/scripts/wine-env.sh"
dv_wine_select 32 || exit 125
step "32-bit loader: $("${dvWine[@]}" --version 2>&1)"

export DV_WINE_PREFIX=$prefix
source "$root/scripts/guest/wine-session.sh"
dv_guest_wine_session 32 "$prefix" || exit 1
step "prefix $prefix ($(sed -n 's/^#arch=//p' "$prefix/system.reg"))"

status=0
# The tests expect the video input category to hold only what they register;
# Wine's device enumerator would add the guest's V4L2 devices (vivid and the
# loopback device). In a mount namespace of its own ctest sees each video
# node replaced by /dev/null, which no enumerator takes for a camera.
# shellcheck disable=SC2016,SC2086
(cd "$root" && unshare --mount bash -c 'for node in /dev/video*; do
        [[ -e $node ]] && mount --bind /dev/null "$node"
    done
    exec "$@"' - ctest --preset windows-i686 -j "$(nproc)" --output-on-failure --no-tests=error ${DV_CTEST_ARGS:-}) || status=$?
step "ctest (status $status)"
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
umount "$build" 2>/dev/null || true
exit "$status"
