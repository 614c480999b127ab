#!/usr/bin/env bash
# Runs clang-tidy with the repository's `.clang-tidy` over the product's own
# sources (the libraries that make up the virtual camera and the POSIX
# runtime it runs on), using the compile commands of a configured build:
#
#   scripts/check-tidy.sh [build folder]     (default: build/default)
#
# Every finding fails the check. A finding that is deliberately accepted is
# suppressed in place with NOLINT(check-name) and the reason beside it.
# DV_JOBS sets the parallelism (default: nproc).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build=${1:-build/default}
tidy=${CLANG_TIDY:-clang-tidy}
jobs=${DV_JOBS:-$(nproc)}
if [[ ! -f $build/compile_commands.json ]]; then
    echo "check-tidy: $build/compile_commands.json is missing; configure the preset first" >&2
    exit 2
fi

mapfile -t files < <(git ls-files -- \
    'framework/*.cpp' 'compositor/*.cpp' 'capture/*.cpp' 'filter/*.cpp' 'pages/*.cpp' \
    'platform/*.cpp' 'v4l2/*.cpp')
# Only the files the build knows (a POSIX build has no Windows-only sources).
known=()
for file in "${files[@]}"; do
    grep -q "\"file\": \".*/$file\"" "$build/compile_commands.json" && known+=("$file")
done

out=$(mktemp)
trap 'rm -f "$out"' EXIT
printf '%s\0' "${known[@]}" |
    xargs -0 -n 1 -P "$jobs" "$tidy" -p "$build" --quiet >"$out" 2>/dev/null || true
findings=$(grep -E '^[^ ].*: (warning|error): ' "$out" | sort -u || true)
if [[ -n $findings ]]; then
    count=$(printf '%s\n' "$findings" | wc -l)
    echo "check-tidy: $count findings in ${#known[@]} files:" >&2
    printf '%s\n' "$findings" | sed "s|^$PWD/||" >&2
    exit 1
fi
echo "check-tidy: ${#known[@]} files, no findings"
