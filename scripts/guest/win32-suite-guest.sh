#!/usr/bin/env bash
# Everything the guest-win32 stage runs inside the qemu guest
# (scripts/guest/win32-stage.sh runs it through scripts/guest/run.sh):
#
#   scripts/guest/win32-suite-guest.sh BUILD32 BUILD64 SCRATCH
#
# The parts, in this order, each timed:
#   ctest    the windows-i686 preset's tests under 32-bit Wine
#            (scripts/guest/win32-guest.sh, win32 prefix SCRATCH/wine32)
#   vivid64  BUILD64's host program on vivid through Wine's capture filter
#            (scripts/guest/wine-vivid-guest.sh, win64 prefix SCRATCH/wine64)
#   vivid32  the same with BUILD32's host program in SCRATCH/wine32
#   sbs      both bitnesses registered in SCRATCH/wine64
#            (scripts/guest/side-by-side-guest.sh)
# DV_GUEST_PARTS lists the parts to run, in its order (default all four in
# the order above). The vivid parts
# leave their picture checks in SCRATCH/vivid/checks.sh for the caller. The
# parts that need BUILD64 are skipped, with a message, when it has no host
# program. Prints "guest-win32: part NAME ok|FAILED in N s" per part; exit
# status 0 when every part that ran passed.
set -uo pipefail

build32=$1
build64=$2
scratch=$3
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
parts=${DV_GUEST_PARTS:-ctest vivid64 vivid32 sbs}
failed=0

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
# COMMAND...: run it when BUILD64 has the host program.
with64() {
    if [[ ! -f $build64/tools/host/duoview2-host.exe ]]; then
        echo "guest-win32: $build64 has no host program; this part is not run"
        return 1
    fi
    "$@"
}

rm -rf "$scratch/vivid"
mkdir -p "$scratch/vivid"
for name in $parts; do
    case $name in
        ctest) part ctest "$root/scripts/guest/win32-guest.sh" "$build32" "$scratch/wine32" ;;
        vivid64) part vivid64 with64 "$root/scripts/guest/wine-vivid-guest.sh" 64 "$build64" "$scratch/wine64" \
            "$scratch/vivid" ;;
        vivid32) part vivid32 "$root/scripts/guest/wine-vivid-guest.sh" 32 "$build32" "$scratch/wine32" "$scratch/vivid" ;;
        sbs) part sbs with64 "$root/scripts/guest/side-by-side-guest.sh" "$build64" "$build32" "$scratch/wine64" \
            "$scratch/side-by-side" ;;
        *) part "$name" false ;;
    esac
done
exit "$failed"
