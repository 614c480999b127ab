#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix owned by one build folder.
#
#   scripts/wine-run.sh [--bits 64|32] <prefix-dir> <program.exe> [args...]
#   scripts/wine-run.sh [--bits 64|32] <prefix-dir> --make
#
# The windows and windows-i686 presets use this as CMAKE_CROSSCOMPILING_EMULATOR
# with <prefix-dir> = <build folder>/wine, so every build folder has its own
# prefix and nothing touches ~/.wine. --bits 64 (the default) makes and runs a
# win64 prefix with the 64-bit loader, --bits 32 a win32 prefix with the 32-bit
# loader (scripts/wine-env.sh picks them; 32-bit needs a kernel that runs
# 32-bit programs, such as the qemu guest's). A win64 prefix that exists runs
# --bits 32 programs as 32-bit programs on 64-bit Windows (WoW64), when it was
# made with its 32-bit half. DV_WINE_PREFIX, when set, replaces
# <prefix-dir>: the guest keeps its prefixes on the writable scratch share. The prefix is created on first use: wineboot, then
# the null graphics driver (windows, dialogs and message boxes exist without an
# X display), then the wineserver is stopped so the registry reaches user.reg.
# Creation is serialised with flock on <prefix-dir>.lock, so tests started in
# parallel by ctest wait for one creator; a prefix counts as ready only once the
# marker file is written, and a half-made one is removed and made again.
# The program's exit status is passed through; --make only makes the prefix
# when it is missing.
set -euo pipefail

bits=64
if [[ ${1:-} == --bits ]]; then
    bits=${2:-}
    shift 2 || true
fi
if (($# < 2)); then
    echo "usage: $0 [--bits 64|32] <prefix-dir> <program.exe> [args...]|--make" >&2
    exit 2
fi

prefix=${DV_WINE_PREFIX:-$1}
shift
# shellcheck source=scripts/wine-env.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
dv_wine_select "$bits" || exit 2
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")

export WINEPREFIX="$prefix"
export WINEDEBUG="${DV_WINEDEBUG:--all}"
marker="$prefix/.dv-prefix-ready"

create_prefix() {
    rm -rf "$prefix"
    local start=$SECONDS
    # No Mono or Gecko installers: nothing here needs them, and without a display
    # their prompts would only stall the boot.
    # The loader waits a fixed time (minutes) for the boot process it starts in
    # a new prefix; under emulation that boot can take longer, and the first
    # program then fails while the boot goes on. Waiting for the wineserver lets
    # that boot finish, after which a second wineboot finds the prefix made.
    if ! WINEDLLOVERRIDES="mscoree,mshtml=" "${dvWine[@]}" wineboot -i >/dev/null 2>&1 &&
        ! { wineserver -w && WINEDLLOVERRIDES="mscoree,mshtml=" "${dvWine[@]}" wineboot -i >/dev/null 2>&1; }; then
        echo "wine-run: wineboot -i failed for $prefix ($WINEARCH); the prefix is removed" >&2
        wineserver -k 2>/dev/null || true
        rm -rf "$prefix"
        return 1
    fi
    "${dvWine[@]}" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wineserver -k || true
    wineserver -w || true
    touch "$marker"
    echo "wine-run: created prefix $prefix in $((SECONDS - start)) s" >&2
}

if [[ ! -f "$marker" ]]; then
    exec {lockfd}>"$prefix.lock"
    flock "$lockfd"
    [[ -f "$marker" ]] || create_prefix || exit 1
    flock -u "$lockfd"
    exec {lockfd}>&-
fi

[[ $1 == --make ]] && exit 0
# The prefix's own architecture: a 32-bit program in a win64 prefix runs
# under WoW64 (Wine refuses WINEARCH=win32 for a 64-bit prefix).
if [[ $WINEARCH == win32 ]] && grep -q '^#arch=win64' "$prefix/system.reg" 2>/dev/null; then
    export WINEARCH=win64
fi
exec "${dvWine[@]}" "$@"
