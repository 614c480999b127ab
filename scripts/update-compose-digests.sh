#!/usr/bin/env bash
# Rewrites tests/compositor/compose_digests.inc: the digests of every image
# mode, size and swap flag as the native build composes the synthetic pairs
# of tests/compositor/compose_digest_test.cpp. The same test program checks
# those pairs against the image library's rendition of each mode before it
# records them. Run it after a deliberate change of the compositor's results,
# and commit the file with that change; every other build (the Windows one
# under Wine included) then checks its own results against it.
#
# Needs a processor with the vector kernel levels (the file holds their
# digests and the portable kernels'). Uses the native `default` preset.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
table="$root/tests/compositor/compose_digests.inc"
jobs="${DV_JOBS:-$(nproc)}"

cmake --preset default >/dev/null
cmake --build --preset default --target compositor_digest_test -j"$jobs"
DV_WRITE_COMPOSE_DIGESTS="$table" \
    cmake/dv-test-run.sh "$root/build/default/testreg/compose-digests" \
    build/default/tests/compositor/compositor_digest_test --gtest_brief=1
# Laid out as the rest of the sources (scripts/check-format.sh).
clang-format -i "$table"
# Rebuild against the new table and check it.
cmake --build --preset default --target compositor_digest_test -j"$jobs"
cmake/dv-test-run.sh "$root/build/default/testreg/compose-digests" \
    build/default/tests/compositor/compositor_digest_test --gtest_brief=1
echo "update-compose-digests: $(grep -c '^ *{[0-9]' "$table") digests in tests/compositor/compose_digests.inc"
