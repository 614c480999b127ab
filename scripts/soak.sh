#!/usr/bin/env bash
# Soaks the virtual camera (tools/soak/duoview2-soak) for a while:
#
#   scripts/soak.sh [--minutes N] [--sanitizer asan|tsan|none] [--windows] [--seed S]
#
# Builds duoview2-soak in the preset that matches (none: default, asan, tsan;
# --windows: the windows preset, run under Wine in build/windows/wine), then
# runs it for N minutes (default 2) with a private registry. Passes through its
# exit status: 0 passed, 1 a check failed, 3 a thread hung (its report shows
# what every thread was doing). Sanitizer reports stop the run (halt_on_error).
# The full output is kept in build/logs/soak-<preset>.log.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

minutes=2 sanitizer=none windows=0 seed=$RANDOM
while (($#)); do
    case $1 in
        --minutes) minutes=$2; shift 2 ;;
        --sanitizer) sanitizer=$2; shift 2 ;;
        --windows) windows=1; shift ;;
        --seed) seed=$2; shift 2 ;;
        *) echo "usage: $0 [--minutes N] [--sanitizer asan|tsan|none] [--windows] [--seed S]" >&2; exit 2 ;;
    esac
done
case $sanitizer in
    none) preset=default ;;
    asan | tsan) preset=$sanitizer ;;
    *) echo "soak: unknown sanitizer '$sanitizer'" >&2; exit 2 ;;
esac
((windows)) && preset=windows

scripts/bootstrap.sh >/dev/null
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "${DV_JOBS:-$(nproc)}" --target duoview2-soak
seconds=$(awk "BEGIN { print $minutes * 60 }")
mkdir -p build/logs
log=build/logs/soak-$preset.log
echo "soak: $preset for $minutes min (seed $seed); log: $log"
status=0
if ((windows)); then
    scripts/wine-run.sh build/windows/wine build/windows/tools/soak/duoview2-soak.exe --seconds "$seconds" \
        --seed "$seed" 2>&1 | tee "$log" || status=${PIPESTATUS[0]}
else
    regdir=$(mktemp -d)
    trap 'rm -rf "$regdir"' EXIT
    cmake/dv-test-run.sh "$regdir" "build/$preset/tools/soak/duoview2-soak" --seconds "$seconds" \
        --seed "$seed" 2>&1 | tee "$log" || status=${PIPESTATUS[0]}
fi
if grep -qE 'WARNING: ThreadSanitizer|ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error' "$log"; then
    echo "soak: sanitizer report in $log"
    ((status)) || status=1
fi
exit "$status"
