# shellcheck shell=bash
# shellcheck disable=SC2034,SC2154 # dvPkg* are set by the caller and read back by it
# The checks of the Windows package once it is unpacked, shared by
# scripts/check-package-windows.sh (64-bit Wine on the build machine) and
# scripts/guest/package-guest.sh (64-bit and 32-bit Wine in the qemu guest).
# Sourced; the caller sets, before calling any function:
#
#   dvPkgWine=(command that runs a Windows program in the prefix under test)
#   dvPkgPrefix=the prefix's folder
#   dvPkgViews="64 32"   registry views holding a registration (WoW64 prefix),
#                        or "" for a 32-bit prefix, which has only one
#
# Functions (each prints what it checked on success; on failure it prints
# "check-package-windows: FAIL: ..." on stderr and returns 1):
#
#   dv_pkg_run_script PACKAGE_DIR SCRIPT CMD [FOLDER]
#       runs PACKAGE_DIR/SCRIPT /q (install.cmd, uninstall.cmd) with the cmd
#       program CMD (cmd, or C:\windows\syswow64\cmd.exe for a 32-bit cmd on
#       64-bit Windows) from the Linux folder FOLDER (default /); sets
#       dvPkgOutput (without CRs) and dvPkgStatus (the exit status).
#   dv_pkg_check_installed PACKAGE_DIR "x64 x86"|"x86"
#       the modules, uninstall.cmd, README.txt and the guide's pictures of the
#       package in C:\Program Files\Duoview2, and per registry view the class
#       key naming the module of that view's bitness, the video input device
#       and the filter entry.
#   dv_pkg_host_frames HOST TESTCAMS OUT_DIR REGSVR32
#       the host program HOST, with its own test cameras TESTCAMS registered
#       and the camera as installed (not registered by the host), records a
#       few frames into OUT_DIR; sets dvPkgFrames. The test cameras are then
#       unregistered with REGSVR32 (the regsvr32 of their bitness).
#   dv_pkg_check_removed HOST...
#       no installation folder, no class key, device or filter entry in any
#       view, and each HOST's device enumerator no longer lists the camera.

dvPkgFilterClass='{2C651615-C765-413E-8A80-C8A232F95000}'
dvPkgVideoInputCategory='{860BB310-5D01-11D0-BD3B-00A0C911CE86}'
dvPkgLegacyFilterCategory='{083863F1-70DE-11D0-BD40-00A0C911CE86}'
dvPkgCamera='Vanto 3D Virtual Camera2'
dvPkgInstalled='C:\Program Files\Duoview2'

dv_pkg_fail() {
    echo "check-package-windows: FAIL: $*" >&2
    return 1
}

# A Linux path as the Windows path Wine gives it (drive Z: is /).
dv_pkg_windows_path() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }

dv_pkg_installed_dir() { printf '%s/drive_c/Program Files/Duoview2' "$dvPkgPrefix"; }

# reg query ARGS... in VIEW (64, 32 or "" for the prefix's only one), without
# CRs; empty when the key does not exist (Wine's reg then prints its message
# on stdout).
dv_pkg_reg_query() {
    local view=$1 text
    shift
    [[ -n $view ]] && set -- "$@" "/reg:$view"
    text=$("${dvPkgWine[@]}" reg query "$@" 2>/dev/null) || return 0
    tr -d '\r' <<<"$text"
}

dv_pkg_run_script() {
    local package=$1 script=$2 cmd=$3 folder=${4:-/}
    dvPkgStatus=0
    dvPkgOutput=$(cd "$folder" && "${dvPkgWine[@]}" "$cmd" /c "$(dv_pkg_windows_path "$package/$script")" /q 2>&1 |
        tr -d '\r') || dvPkgStatus=$?
    sed 's/^/  /' <<<"$dvPkgOutput"
}

dv_pkg_check_installed() {
    local package=$1 bitnesses=$2 dir file view server bits device entry
    dir=$(dv_pkg_installed_dir)
    for file in uninstall.cmd README.txt $(cd "$package" && compgen -G 'guide/*.png'); do
        cmp -s "$package/$file" "$dir/$file" || dv_pkg_fail "$dvPkgInstalled\\$file is not the package's $file" || return 1
    done
    for bits in x64 x86; do
        if [[ " $bitnesses " == *" $bits "* ]]; then
            cmp -s "$package/$bits/Duoview2.dll" "$dir/$bits/Duoview2.dll" ||
                dv_pkg_fail "$dvPkgInstalled\\$bits\\Duoview2.dll is not the package's" || return 1
        elif [[ -e $dir/$bits ]]; then
            dv_pkg_fail "$dvPkgInstalled\\$bits was installed on a Windows that cannot load it" || return 1
        fi
    done
    for view in ${dvPkgViews:-""}; do
        bits=x86
        [[ $view == 64 ]] && bits=x64
        server=$(dv_pkg_reg_query "$view" "HKCR\\CLSID\\$dvPkgFilterClass\\InprocServer32" /ve)
        grep -qiF "$dvPkgInstalled\\$bits\\Duoview2.dll" <<<"$server" ||
            dv_pkg_fail "InprocServer32 of $dvPkgFilterClass in view '${view:-32-bit Windows}': $server" || return 1
        device=$(dv_pkg_reg_query "$view" "HKCR\\CLSID\\$dvPkgVideoInputCategory\\Instance" /s)
        grep -qF "CLSID    REG_SZ    $dvPkgFilterClass" <<<"$device" &&
            grep -qF "FriendlyName    REG_SZ    $dvPkgCamera" <<<"$device" ||
            dv_pkg_fail "no video input device $dvPkgCamera in view '${view:-32-bit Windows}'" || return 1
        entry=$(dv_pkg_reg_query "$view" "HKCR\\CLSID\\$dvPkgLegacyFilterCategory\\Instance\\$dvPkgFilterClass")
        grep -qF "CLSID    REG_SZ    $dvPkgFilterClass" <<<"$entry" ||
            dv_pkg_fail "no filter entry for $dvPkgFilterClass in view '${view:-32-bit Windows}'" || return 1
    done
}

dv_pkg_host_frames() {
    local host=$1 testcams=$2 out=$3 regsvr32=$4 status=0 output
    mkdir -p "$out"
    # The test cameras by name, and a few frames however long they take:
    # programs start slowly under emulation.
    output=$(cd "$out" && "${dvPkgWine[@]}" "$host" --testcams "$(dv_pkg_windows_path "$testcams")" \
        --left "Duoview Test Camera A" --right "Duoview Test Camera B" --frames 3 --seconds 120 \
        --snapshot-every 0 --out host-out 2>&1 | tr -d '\r' | grep -v '^frames ') || status=$?
    sed 's/^/  /' <<<"$output"
    ((status == 0)) || dv_pkg_fail "$(basename "$host") exited $status" || return 1
    if grep -q '^registered virtual camera' <<<"$output"; then
        dv_pkg_fail "the host registered the product itself" || return 1
    fi
    dvPkgFrames=$(sed -n 's/^summary: \([0-9]*\) frames.*/\1/p' <<<"$output")
    ((${dvPkgFrames:-0} > 0)) || dv_pkg_fail "no frames from the installed camera" || return 1
    "${dvPkgWine[@]}" "$regsvr32" /u /s "$(dv_pkg_windows_path "$testcams")" ||
        dv_pkg_fail "$regsvr32 /u of the test cameras" || return 1
}

dv_pkg_check_removed() {
    local host view category listing
    [[ ! -e $(dv_pkg_installed_dir) ]] || dv_pkg_fail "$dvPkgInstalled is still there" || return 1
    for view in ${dvPkgViews:-""}; do
        [[ -z $(dv_pkg_reg_query "$view" "HKCR\\CLSID\\$dvPkgFilterClass" /s) ]] ||
            dv_pkg_fail "the class key $dvPkgFilterClass is left in view '${view:-32-bit Windows}'" || return 1
        for category in "$dvPkgVideoInputCategory" "$dvPkgLegacyFilterCategory"; do
            if dv_pkg_reg_query "$view" "HKCR\\CLSID\\$category\\Instance" /s |
                grep -qiE "$dvPkgFilterClass|$dvPkgCamera"; then
                dv_pkg_fail "an entry of the camera is left under $category in view '${view:-32-bit Windows}'" ||
                    return 1
            fi
        done
    done
    for host in "$@"; do
        listing=$("${dvPkgWine[@]}" "$host" --list 2>&1 | tr -d '\r')
        grep -q '^video input devices' <<<"$listing" || dv_pkg_fail "$host did not list: $listing" || return 1
        if grep -Eq "^ +[0-9]+: $dvPkgCamera\$" <<<"$listing"; then
            dv_pkg_fail "$host's device enumerator still lists the camera" || return 1
        fi
    done
}
