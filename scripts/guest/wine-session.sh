# shellcheck shell=bash
# One Wine session per prefix for the guest's scripts; sourced:
#
#   source scripts/guest/wine-session.sh
#   dv_guest_wine_session 64|32 PREFIX_DIR || exit 1
#   ... programs run with scripts/wine-run.sh --bits 64|32 PREFIX_DIR ...
#   WINEPREFIX=PREFIX_DIR wineserver -k
#
# Debian's wineserver wrapper starts the server with -p0: it ends with its
# last program, and the next program boots the session again (services,
# device drivers, mount manager), which takes over a minute under emulation.
# dv_guest_wine_session makes the prefix when it is missing
# (scripts/wine-run.sh), then starts a server that stays until it is killed,
# and boots the session once by running `cmd /c ver`. Returns non-zero with a
# message when the prefix does not start.

dv_guest_wine_session() {
    local bits=$1 prefix=$2
    local run
    run="$(dirname "${BASH_SOURCE[0]}")/../wine-run.sh"
    # A win64 prefix made by wine64 alone lacks its 32-bit half.
    if [[ $bits == 64 && -f $prefix/.dv-prefix-ready && ! -f $prefix/drive_c/windows/syswow64/regsvr32.exe ]]; then
        echo "wine-session: $prefix has no 32-bit half; it is made again" >&2
        WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
        rm -rf "$prefix"
    fi
    if [[ ! -f $prefix/.dv-prefix-ready ]]; then
        "$run" --bits "$bits" "$prefix" cmd /c ver >/dev/null 2>&1 || {
            echo "wine-session: the $bits-bit prefix $prefix cannot be made" >&2
            return 1
        }
    fi
    # A server already running for the prefix keeps it; this one then ends.
    WINEPREFIX=$prefix wineserver -p >/dev/null 2>&1 || true
    "$run" --bits "$bits" "$prefix" cmd /c ver >/dev/null 2>&1 || {
        echo "wine-session: the $bits-bit prefix $prefix does not start" >&2
        return 1
    }
}
