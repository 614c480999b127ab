#!/usr/bin/env bash
# Checks that every C and C++ file in the repository (CMake templates such as
# *.h.in excepted: their @VARIABLE@ markers are not C) is laid out as
# `.clang-format` says:
#
#   scripts/check-format.sh          check; exit 1 and list the files that differ
#   scripts/check-format.sh --fix    reformat those files in place
#
# Uses clang-format 14 (Debian 12's); another major version may lay out some
# constructs differently, so the script refuses to judge with one.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

formatter=${CLANG_FORMAT:-clang-format}
version=$("$formatter" --version | sed -n 's/.*version \([0-9][0-9]*\)\..*/\1/p')
if [[ $version != 14 ]]; then
    echo "check-format: needs clang-format 14, found '${version:-none}' ($formatter)" >&2
    exit 2
fi

mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h' '*.inc')

if [[ ${1:-} == --fix ]]; then
    printf '%s\0' "${files[@]}" | xargs -0 -n 32 "$formatter" -i
    echo "check-format: formatted ${#files[@]} files"
    exit 0
fi

bad=()
for file in "${files[@]}"; do
    if ! "$formatter" --dry-run -Werror "$file" >/dev/null 2>&1; then
        bad+=("$file")
    fi
done
if ((${#bad[@]} > 0)); then
    echo "check-format: ${#bad[@]} of ${#files[@]} files are not formatted:" >&2
    printf '  %s\n' "${bad[@]}" >&2
    echo "check-format: fix them with: scripts/check-format.sh --fix" >&2
    exit 1
fi
echo "check-format: ${#files[@]} files formatted"
