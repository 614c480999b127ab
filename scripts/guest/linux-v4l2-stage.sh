#!/usr/bin/env bash
# The Linux stage: the V4L2 path against real kernel drivers in the qemu guest.
#
#   scripts/guest/linux-v4l2-stage.sh
#
# Builds what the guest runs in the `default` preset (the host program and
# dv_v4l2_check; configured if needed), prepares the guest
# (scripts/guest/prepare.sh, cached in build/guest) and runs
# scripts/guest/linux-v4l2-guest.sh in it with a fresh output folder
# build/guest/scratch/linux-v4l2/out. Prints the time of each part and a last
# line
#   guest-linux: result ok|FAILED (host|fallback), whole stage N s
# "fallback" means the host program has no --output yet and ffmpeg was the
# producer. Exit status 0 when the guest's checks passed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
start=$EPOCHREALTIME
since() { awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $1 }"; }

t=$EPOCHREALTIME
[[ -f build/default/CMakeCache.txt ]] || cmake --preset default >/dev/null
cmake --build --preset default -j "${DV_JOBS:-$(nproc)}" --target duoview2-host dv_v4l2_check >/dev/null ||
    cmake --build --preset default -j "${DV_JOBS:-$(nproc)}" --target duoview2-host dv_v4l2_check
echo "guest-linux: build of duoview2-host and dv_v4l2_check $(since "$t") s"

t=$EPOCHREALTIME
scripts/guest/prepare.sh
echo "guest-linux: prepare $(since "$t") s"

scratch=build/guest/scratch/linux-v4l2
rm -rf "$scratch/out"
mkdir -p "$scratch"
scratchAbs=$(cd "$scratch" && pwd -P)
status=0
scripts/guest/run.sh --scratch "$scratch" --timeout "${DV_GUEST_TIMEOUT:-480}" --pass DV_GUEST_FRAMES \
    scripts/guest/linux-v4l2-guest.sh "$root/build/default" "$scratchAbs/out" || status=$?
kind=host
grep -q 'guest-linux: FALLBACK' "$scratch/job/log" 2>/dev/null && kind=fallback
result=ok
((status == 0)) || result=FAILED
echo "guest-linux: result $result ($kind), whole stage $(since "$start") s"
exit "$status"
