# Picks the Wine loader for one bitness; sourced by the scripts that run Wine:
#
#   source scripts/wine-env.sh
#   dv_wine_select 64|32 || exit 1
#   "${dvWine[@]}" program.exe args...
#
# Debian's `wine` wrapper takes the 32-bit loader whenever wine32:i386 is
# installed, also for 64-bit prefixes, and a kernel without 32-bit support
# ("Exec format error") then breaks every Wine run. So the loader is named
# here, by bitness:
#   64: /usr/lib/wine/wine64 with WINELOADER pointing at it; where 32-bit
#       programs run, /usr/lib/wine/wine instead (WoW64 needs it, see below);
#   32: /usr/lib/wine/wine, the 32-bit loader, and only where it can run here.
# Where Debian's layout is missing, the `wine64` or `wine` in PATH is used.
# Sets the array dvWine and exports WINELOADER and WINEARCH (win64 or win32);
# returns non-zero with a message on stderr when that bitness cannot run.
# dv_wine_can_run_32 answers whether 32-bit Windows programs can run here.

dv_wine_can_run_32() {
    [[ -x /usr/lib/wine/wine ]] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

dv_wine_select() {
    case ${1:-64} in
        64)
            export WINEARCH=win64
            if dv_wine_can_run_32; then
                # Where 32-bit programs run (the qemu guest), the 32-bit loader,
                # as Debian's wrapper does: it hands 64-bit programs to wine64,
                # while wine64 finds no 32-bit programs in Debian's layout
                # (syswow64\regsvr32.exe: c0000135) and leaves a prefix without
                # its 32-bit half.
                export WINELOADER=/usr/lib/wine/wine
                dvWine=(/usr/lib/wine/wine)
            elif [[ -x /usr/lib/wine/wine64 ]]; then
                export WINELOADER=/usr/lib/wine/wine64
                dvWine=(/usr/lib/wine/wine64)
            elif command -v wine64 >/dev/null; then
                dvWine=(wine64)
            else
                dvWine=(wine)
            fi
            ;;
        32)
            export WINEARCH=win32
            if dv_wine_can_run_32; then
                export WINELOADER=/usr/lib/wine/wine
                dvWine=(/usr/lib/wine/wine)
            else
                echo "wine-env: 32-bit Wine cannot run on this machine" \
                    "(/usr/lib/wine/wine missing or not executable by this kernel)" >&2
                return 1
            fi
            ;;
        *)
            echo "wine-env: bitness must be 64 or 32, not '$1'" >&2
            return 2
            ;;
    esac
}
