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

# dv_guest_prefix_whole BITS PREFIX: PREFIX was made completely (a win64
# prefix with its 32-bit half).
dv_guest_prefix_whole() {
    [[ -f $2/.dv-prefix-ready ]] && { [[ $1 == 32 ]] || [[ -f $2/drive_c/windows/syswow64/regsvr32.exe ]]; }
}

# dv_guest_prefix_overlay BITS BASE DIR: a prefix at DIR that starts as the
# kept prefix BASE (on the scratch share; made here when it is missing) and
# keeps its own changes in the guest's memory: an overlay whose upper layer
# lives under /tmp and is gone with the guest. BASE then stays as wineboot
# left it, so every run starts from a fresh prefix without paying for
# wineboot again, and a module installed into DIR is mapped from memory (pages
# mapped from the scratch share read as zeros). A kept BASE that is incomplete
# or does not start is made again once. DIR must not be in use; a previous
# overlay there is replaced. Starts DIR's session (dv_guest_wine_session);
# returns non-zero with a message when no prefix starts.
dv_guest_prefix_overlay() {
    local bits=$1 base=$2 dir=$3 attempt layer run
    run="$(dirname "${BASH_SOURCE[0]}")/../wine-run.sh"
    layer=/tmp/prefix-layers/$(basename "$dir")
    for attempt in kept made; do
        if [[ $attempt == kept ]]; then
            dv_guest_prefix_whole "$bits" "$base" || continue
        else
            [[ -e $base ]] && echo "wine-session: the kept prefix $base is incomplete or does not start; it is made again" >&2
            WINEPREFIX=$base wineserver -k >/dev/null 2>&1
            rm -rf "$base"
            "$run" --bits "$bits" "$base" --make || return 1
        fi
        # The base is only read from here on: no server of its own may run.
        WINEPREFIX=$base wineserver -k >/dev/null 2>&1
        dv_guest_prefix_release "$dir" || return 1
        rm -rf "$layer"
        mkdir -p "$layer/upper" "$layer/work" "$dir"
        mount -t overlay overlay -o "lowerdir=$base,upperdir=$layer/upper,workdir=$layer/work" "$dir" || {
            echo "wine-session: cannot mount an overlay of $base at $dir" >&2
            return 1
        }
        dv_guest_wine_session "$bits" "$dir" && return 0
        dv_guest_prefix_release "$dir"
    done
    return 1
}

# dv_guest_prefix_release DIR: ends the session of the overlay prefix at DIR
# and removes the overlay with its changes (nothing when DIR is no overlay).
dv_guest_prefix_release() {
    local dir=$1
    mountpoint -q "$dir" || return 0
    WINEPREFIX=$dir wineserver -k >/dev/null 2>&1
    umount "$dir" && rm -rf "/tmp/prefix-layers/$(basename "$dir")"
}
