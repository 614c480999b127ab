#!/usr/bin/env bash
# The 32-bit Windows stage inside the qemu guest (scripts/guest/win32-stage.sh
# runs it through scripts/guest/run.sh):
#
#   scripts/guest/win32-guest.sh BUILD_DIR TREE_DIR PREFIX_DIR
#
# The host's root is read-only in the guest, and ctest, the test launcher and
# the tests write into their build folder: TREE_DIR (a copy of BUILD_DIR on the
# scratch share) is bound over BUILD_DIR, so every path ctest knows stays
# valid. The tests' win32 prefix is PREFIX_DIR (DV_WINE_PREFIX, on the scratch
# share, kept between runs: its creation takes minutes under emulation).
# Runs the preset's whole ctest, one test per guest processor, with
# DV_CTEST_ARGS added (for example "-R stereo"). Prints the time of each part; exit status is ctest's.
set -uo pipefail

build=$1
tree=$2
prefix=$3
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
stepStart=$EPOCHREALTIME
step() {
    local now=$EPOCHREALTIME
    echo "guest-win32: [$(awk "BEGIN { printf \"%.1f\", $now - $stepStart }") s] $*"
    stepStart=$now
}

mount -o bind "$tree" "$build" || {
    echo "guest-win32: cannot bind $tree over $build"
    exit 125
}
source "$root/scripts/wine-env.sh"
dv_wine_select 32 || exit 125
step "32-bit loader: $("${dvWine[@]}" --version 2>&1)"

export DV_WINE_PREFIX=$prefix
source "$root/scripts/guest/wine-session.sh"
state=cached
[[ -f $prefix/.dv-prefix-ready ]] || state=created
# A kept prefix that no longer starts (a newer Wine, an interrupted run) is
# made again once.
if ! dv_guest_wine_session 32 "$prefix"; then
    [[ $state == cached ]] || exit 1
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
    rm -rf "$prefix"
    state="made again (the kept one did not start)"
    dv_guest_wine_session 32 "$prefix" || exit 1
fi
step "win32 prefix $state"

status=0
# The tests expect the video input category to hold only what they register;
# Wine's device enumerator would add the guest's V4L2 devices (vivid and the
# loopback device). In a mount namespace of its own ctest sees each video
# node replaced by /dev/null, which no enumerator takes for a camera.
# shellcheck disable=SC2016,SC2086
(cd "$root" && unshare --mount bash -c 'for node in /dev/video*; do
        [[ -e $node ]] && mount --bind /dev/null "$node"
    done
    exec "$@"' - ctest --preset windows-i686 -j "$(nproc)" --no-tests=error ${DV_CTEST_ARGS:-}) || status=$?
step "ctest (status $status)"
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
umount "$build" 2>/dev/null || true
exit "$status"
