#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`) and runs each for a while:
#
#   scripts/fuzz.sh [minutes] [target...]
#       minutes: per target (default 5); targets: fuzz_compose fuzz_media_types
#       fuzz_registry fuzz_names (default all)
#
# Each target starts from its checked-in corpus (fuzz/corpus/<target>) and keeps
# what it finds in build/fuzz/fuzz-corpus/<target>. A crashing input is written
# to build/fuzz/artifacts/<target>/; to keep it as a regression case, copy it
# into fuzz/corpus/<target>/ (every later run, and the fuzz test in CI, replays
# the corpus first) and add a focused unit test for the fault it showed.
# Exits non-zero if any target found a crash.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

minutes=${1:-5}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
    targets=(fuzz_compose fuzz_media_types fuzz_registry fuzz_names)
fi

scripts/bootstrap.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${DV_JOBS:-$(nproc)}"

failed=0
for target in "${targets[@]}"; do
    work=build/fuzz/fuzz-corpus/$target
    artifacts=build/fuzz/artifacts/$target
    mkdir -p "$work" "$artifacts"
    regdir=build/fuzz/testreg/$target
    [[ -d /dev/shm ]] && regdir=/dev/shm/duoview2-fuzz-$target
    echo "==> $target for $minutes min"
    log=build/fuzz/$target.log
    if cmake/dv-test-run.sh "$regdir" "build/fuzz/fuzz/$target" -max_total_time=$((minutes * 60)) \
        -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
        grep -E 'stat::number_of_executed_units|DONE' "$log" | tail -n 2
    else
        failed=1
        echo "$target: FAILED; input and log: $artifacts/, $log"
        grep -E 'ERROR|fuzz_[a-z_]+: ' "$log" | head -n 5 || true
    fi
    rm -rf "/dev/shm/duoview2-fuzz-$target"
done
exit $failed
