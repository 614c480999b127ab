#!/usr/bin/env bash
# The Windows package as users install it, inside the qemu guest, where 32-bit
# Wine runs (scripts/guest/win32-suite-guest.sh runs it):
#
#   scripts/guest/package-guest.sh PACKAGE_DIR BUILD64 BUILD32 OUT_DIR CASE:BASE...
#
# PACKAGE_DIR is the unpacked zip of scripts/package-windows.sh. Each CASE
# starts from a fresh prefix, an overlay of the kept prefix BASE (made when
# missing; see dv_guest_prefix_overlay), and is checked with
# scripts/package-checks.sh:
#   wow64        64-bit Windows (BASE: win64 with its 32-bit half), install.cmd
#                and uninstall.cmd run by the 64-bit cmd: both modules
#                installed and registered, each in the registry view of its
#                bitness; the 64-bit and the 32-bit host program (BUILD64,
#                BUILD32) each record frames from the installed camera with
#                their own test cameras; after uninstall.cmd nothing is left
#                and neither host lists the camera;
#   wow64-cmd32  the same Windows, both scripts run by the 32-bit cmd
#                (SysWOW64), as a 32-bit file manager or installer starts
#                them: the same registrations and the same clean removal;
#   win32        32-bit Windows (BASE: win32): only the 32-bit module is
#                installed and registered, the 32-bit host records frames,
#                uninstall.cmd removes it.
# Prints one line per step with its time; exit status 0 when every check passed.
set -uo pipefail

package=$1
build64=$2
build32=$3
out=$4
shift 4
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
failed=0
stepStart=$EPOCHREALTIME
step() {
    local now=$EPOCHREALTIME
    echo "guest-package: [$(awk "BEGIN { printf \"%.1f\", $now - $stepStart }") s] $*"
    stepStart=$now
}
fail() {
    echo "guest-package: FAIL: $*"
    failed=1
}
rm -rf "$out"
mkdir -p "$out"
# shellcheck source=scripts/guest/wine-session.sh
source "$root/scripts/guest/wine-session.sh"
# shellcheck source=scripts/package-checks.sh
source "$root/scripts/package-checks.sh"

host64=$build64/tools/host/duoview2-host.exe
host32=$build32/tools/host/duoview2-host.exe
cams64=$build64/tools/testcams/DuoviewTestCams.dll
cams32=$build32/tools/testcams/DuoviewTestCams.dll
for file in "$package/install.cmd" "$host64" "$host32" "$cams64" "$cams32"; do
    [[ -f $file ]] || {
        echo "guest-package: FAIL: $file is missing"
        exit 1
    }
done

# run_case NAME BITS BASE CMD [HOST_BITS...]: install with CMD, record frames
# with the host program of each of HOST_BITS, uninstall; in a fresh prefix.
run_case() {
    local name=$1 bits=$2 base=$3 cmd=$4 prefix=/tmp/prefix-$1 modules=x86 b host cams regsvr32 hosts=()
    shift 4
    dv_guest_prefix_overlay "$bits" "$base" "$prefix" || {
        fail "$name: no fresh $bits-bit prefix"
        return
    }
    dvPkgWine=("$root/scripts/wine-run.sh" --bits "$bits" "$prefix")
    dvPkgPrefix=$prefix
    dvPkgViews=
    if [[ $bits == 64 ]]; then
        dvPkgViews="64 32"
        modules="x64 x86"
    fi
    step "$name: fresh prefix"

    dv_pkg_run_script "$package" install.cmd "$cmd"
    if ((dvPkgStatus != 0)) || ! grep -q '^Duoview2 is installed' <<<"$dvPkgOutput"; then
        fail "$name: install.cmd exited $dvPkgStatus without reporting success"
    fi
    dv_pkg_check_installed "$package" "$modules" || fail "$name: the installation"
    step "$name: install.cmd ($cmd) installed $modules"

    for b in "$@"; do
        host=$host64 cams=$cams64 regsvr32='C:\windows\system32\regsvr32.exe'
        if [[ $b == 32 ]]; then
            host=$host32 cams=$cams32
            [[ $bits == 64 ]] && regsvr32='C:\windows\syswow64\regsvr32.exe'
        fi
        hosts+=("$host")
        dvPkgFrames=
        dv_pkg_host_frames "$host" "$cams" "$out/$name-host$b" "$regsvr32" ||
            fail "$name: the $b-bit host with the installed camera"
        step "$name: the $b-bit host recorded ${dvPkgFrames:-no} frames from the installed camera"
    done

    dv_pkg_run_script "$package" uninstall.cmd "$cmd"
    if ((dvPkgStatus != 0)) || ! grep -q '^Duoview2 is removed' <<<"$dvPkgOutput"; then
        fail "$name: uninstall.cmd exited $dvPkgStatus without reporting the removal"
    fi
    dv_pkg_check_removed "${hosts[@]}" || fail "$name: the removal"
    step "$name: uninstall.cmd ($cmd) left nothing behind"
    dv_guest_prefix_release "$prefix"
}

# The 32-bit cmd case checks the scripts only: the hosts ran in the wow64 case.
for request in "$@"; do
    base=${request#*:}
    case ${request%%:*} in
        wow64) run_case wow64 64 "$base" cmd 64 32 ;;
        wow64-cmd32) run_case wow64-cmd32 64 "$base" 'C:\windows\syswow64\cmd.exe' ;;
        win32) run_case win32 32 "$base" cmd 32 ;;
        *) fail "unknown case $request" ;;
    esac
done

if ((failed)); then
    echo "guest-package: FAILED"
    exit 1
fi
echo "guest-package: all checks passed"
