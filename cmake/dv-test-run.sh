#!/usr/bin/env bash
# Launches one test program with a clean per-test environment.
#
#   cmake/dv-test-run.sh <registry-dir> <command...>
#
# <registry-dir> is emptied (removed and made again) and exported as
# DV_REGISTRY_DIR, the folder the POSIX registry stand-in keeps its store in, so
# each test starts from an empty registry and never sees the user's own (the
# same folder stands in for /dev when the device enumerator looks for V4L2
# nodes). The
# sanitizer options below are defaults only: values already in the environment
# win. The command's exit status is passed through.
set -euo pipefail

if (($# < 2)); then
    echo "usage: $0 <registry-dir> <command...>" >&2
    exit 2
fi

regdir=$1
shift
rm -rf "$regdir"
mkdir -p "$regdir"
export DV_REGISTRY_DIR="$regdir"
# V4L2 device nodes are looked for here (empty) rather than in /dev, so that
# the machine's own cameras never join a test's device list.
export DV_V4L2_DEVICE_DIR="${DV_V4L2_DEVICE_DIR:-$regdir}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:strict_init_order=1:check_initialization_order=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"

exec "$@"
