#!/usr/bin/env bash
# Builds the native (default preset) main program and runs it:
#
#   scripts/run-main.sh [host options]
#
# Installs what is missing (scripts/bootstrap.sh), configures build/default,
# builds only the main target and runs it, then prints where its output is.
# The main job is described by the three settings below; switching to another
# program means changing them (and main_job if its arguments differ).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

preset=default
build_dir=build/$preset
main_target=duoview2-host                         # CMake target of the main program
main_binary=$build_dir/tools/host/duoview2-host
main_output=build/duoview2-out/duoview2.y4m       # the recorded video; snapshots beside it

# Opens "Vanto 3D Virtual Camera2" on the built-in test cameras (registered in
# the private registry build/duoview2-out/registry), records 3 seconds and
# writes the video and PNG snapshots into build/duoview2-out. Arguments given
# to this script are passed on (for example --mode 4 --size 640x480).
main_job() {
    rm -f "$(dirname "$main_output")"/*.png
    "$main_binary" --out "$(dirname "$main_output")" "${main_args[@]}"
}
main_args=("$@")

jobs=${DV_JOBS:-$(nproc)}

scripts/bootstrap.sh
cmake --preset "$preset"

# Read the whole target list first: grep -q would stop reading early and,
# under pipefail, the build tool's SIGPIPE would count as a missing target.
targets=$(cmake --build "$build_dir" --target help)
if ! grep -q "^$main_target:" <<<"$targets"; then
    echo "run-main: this tree has no target '$main_target'" >&2
    exit 1
fi
cmake --build "$build_dir" -j "$jobs" --target "$main_target"

rm -f "$main_output"
echo "run-main: running $main_binary"
main_job
if [[ ! -s "$main_output" ]]; then
    echo "run-main: $main_target finished but wrote no $main_output" >&2
    exit 1
fi
echo "run-main: output written to $root/$main_output"
echo "run-main: snapshots in $root/$(dirname "$main_output")/ (frame-*.png, last.png)"
