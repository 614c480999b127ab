#!/usr/bin/env bash
# Everything the guest-win32 stage runs inside the qemu guest
# (scripts/guest/win32-stage.sh runs it through scripts/guest/run.sh):
#
#   scripts/guest/win32-suite-guest.sh BUILD32 BUILD64 SCRATCH PACKAGE_DIR
#
# Two kept prefixes on the scratch share, each made by wineboot on first use:
# SCRATCH/wine64 (64-bit Windows with its 32-bit half, WoW64) and
# SCRATCH/wine32 (32-bit Windows, only for the parts that name it). No part
# changes them: the parts run in overlays of them whose changes stay in the
# guest's memory (dv_guest_prefix_overlay), so every run starts from a fresh
# prefix. The parts, in this order, each timed:
#   ctest          the windows-i686 preset's tests, 32-bit programs on 64-bit
#                  Windows (scripts/guest/win32-guest.sh)
#   vivid64        BUILD64's host program on vivid through Wine's capture
#                  filter (scripts/guest/wine-vivid-guest.sh)
#   vivid32        the same with BUILD32's host program
#   sbs            both bitnesses registered side by side
#                  (scripts/guest/side-by-side-guest.sh)
#   package        the package in PACKAGE_DIR installed, used and removed by
#                  the 64-bit and by the 32-bit cmd (scripts/guest/package-guest.sh)
#   ctest-win32    the windows-i686 preset's tests on 32-bit Windows
#   package-win32  the package on 32-bit Windows
# Each part (each package case) has a fresh prefix of its own. DV_GUEST_PARTS lists the
# parts to run, in its order (default: the first five; "all": all seven).
# The vivid parts leave their picture checks in SCRATCH/vivid/checks.sh for
# the caller. Prints "guest-win32: part NAME ok|FAILED in N s" per part (a
# kept prefix made on first use counts to the first part that needs it);
# exit status 0 when every part that ran passed.
set -uo pipefail

build32=$1
build64=$2
scratch=$3
package=$4
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
parts=${DV_GUEST_PARTS:-ctest vivid64 vivid32 sbs package}
[[ $parts == all ]] && parts="ctest vivid64 vivid32 sbs package ctest-win32 package-win32"
failed=0
# shellcheck source=scripts/guest/wine-session.sh
source "$root/scripts/guest/wine-session.sh"

part() {
    local name=$1 start=$EPOCHREALTIME status=0
    shift
    "$@" || status=$?
    local result=ok
    ((status == 0)) || {
        result="FAILED (status $status)"
        failed=1
    }
    echo "guest-win32: part $name $result in $(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $start }") s"
}
# fresh BITS NAME COMMAND...: COMMAND with a fresh prefix of that bitness at
# /tmp/prefix-NAME (its session started), removed afterwards.
fresh() {
    local bits=$1 dir=/tmp/prefix-$2 start=$EPOCHREALTIME status=0
    shift 2
    dv_guest_prefix_overlay "$bits" "$scratch/wine$bits" "$dir" || return 1
    echo "guest-win32: fresh $bits-bit prefix $dir in $(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $start }") s"
    "$@" || status=$?
    dv_guest_prefix_release "$dir"
    return "$status"
}

rm -rf "$scratch/vivid"
mkdir -p "$scratch/vivid"
for name in $parts; do
    case $name in
        ctest) part ctest fresh 64 ctest "$root/scripts/guest/win32-guest.sh" "$build32" /tmp/prefix-ctest ;;
        vivid64) part vivid64 fresh 64 vivid64 "$root/scripts/guest/wine-vivid-guest.sh" 64 "$build64" \
            /tmp/prefix-vivid64 "$scratch/vivid" ;;
        vivid32) part vivid32 fresh 64 vivid32 "$root/scripts/guest/wine-vivid-guest.sh" 32 "$build32" \
            /tmp/prefix-vivid32 "$scratch/vivid" ;;
        sbs) part sbs fresh 64 sbs "$root/scripts/guest/side-by-side-guest.sh" "$build64" "$build32" \
            /tmp/prefix-sbs "$scratch/side-by-side" ;;
        package) part package "$root/scripts/guest/package-guest.sh" "$package" "$build64" "$build32" \
            "$scratch/package" "wow64:$scratch/wine64" "wow64-cmd32:$scratch/wine64" ;;
        ctest-win32) part ctest-win32 fresh 32 ctest-win32 "$root/scripts/guest/win32-guest.sh" "$build32" \
            /tmp/prefix-ctest-win32 ;;
        package-win32) part package-win32 "$root/scripts/guest/package-guest.sh" "$package" "$build64" \
            "$build32" "$scratch/package-win32" "win32:$scratch/wine32" ;;
        *) part "$name" false ;;
    esac
done
exit "$failed"
