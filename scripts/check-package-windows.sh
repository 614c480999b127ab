#!/usr/bin/env bash
# Checks the Windows package end to end under Wine (64-bit):
#
#   scripts/check-package-windows.sh
#
#  1. the zip (scripts/package-windows.sh, which writes
#     build/package/Duoview2-<version>-windows.zip): the expected entries, CRLF
#     scripts and text, the version resource in both DLLs, and the same bytes
#     when made a second time;
#  2. install.cmd in a fresh prefix (build/package/check/wine, with the null
#     graphics driver of scripts/wine-run.sh) without administrator rights:
#     it says so, exits 5 and installs nothing ("net session" and fltmc are
#     made to fail by stand-in programs in the current folder, since Wine
#     grants everything: its "net session" succeeds, and it has no fltmc);
#  3. install.cmd run from another folder: the files in C:\Program Files\Duoview2,
#     the class key with InprocServer32 there, the video input device and the
#     filter entries;
#  4. the host program of build/windows against the installed camera (as
#     registered, not re-registered) with the test cameras of build/windows:
#     frames arrive;
#  5. uninstall.cmd, after the registration was removed by hand (regsvr32 /u):
#     nothing of the registration, no folder; the host no longer lists the
#     camera; a second uninstall.cmd finds nothing to do.
# Needs build/windows (host and test cameras are built here if missing).
# Prints one line per step with its time; exits non-zero at the first failure.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

version=$(sed -n 's/^project(Duoview2 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=$root/build/package/Duoview2-$version-windows.zip

work=$root/build/package/check
prefix=$work/wine
if [[ -d $prefix ]]; then
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
fi
rm -rf "$work" "$prefix.lock"
mkdir -p "$work"

host=$root/build/windows/tools/host/duoview2-host.exe
testcams=$root/build/windows/tools/testcams/DuoviewTestCams.dll
# shellcheck source=scripts/package-checks.sh
source "$root/scripts/package-checks.sh"
dvPkgWine=("$root/scripts/wine-run.sh" "$prefix")
dvPkgPrefix=$prefix
dvPkgViews=64
installedDir=$(dv_pkg_installed_dir)

fail() {
    dv_pkg_fail "$@" || exit 1
}
step_start=$SECONDS
step_done() {
    echo "check-package-windows: ok: $1 ($((SECONDS - step_start)) s)"
    step_start=$SECONDS
}

# 1. The zip itself.
scripts/package-windows.sh >/dev/null
scripts/package-windows.sh --out "$work/again.zip" >/dev/null
cmp -s "$zip" "$work/again.zip" || fail "a second package-windows.sh run gave other bytes than $zip"
python3 - "$zip" packaging/windows/guide <<'PY' || fail "the zip's contents"
import os, sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
names = archive.namelist()
pictures = sorted(f for f in os.listdir(sys.argv[2]) if f.endswith(".png")) if os.path.isdir(sys.argv[2]) else []
expected = sorted(["README.txt", "install.cmd", "uninstall.cmd", "x64/Duoview2.dll", "x86/Duoview2.dll"] +
                  ["guide/" + f for f in pictures])
problems = []
if names != expected:
    problems.append("entries %s, expected %s (sorted)" % (names, expected))
for info in archive.infolist():
    if info.date_time != (2026, 1, 1, 0, 0, 0) or (info.create_system, info.external_attr) != (0, 0x20):
        problems.append("%s: date %s, attributes %#x" % (info.filename, info.date_time, info.external_attr))
for name in ("README.txt", "install.cmd", "uninstall.cmd"):
    text = archive.read(name)
    if text.count(b"\n") == 0 or text.count(b"\n") != text.count(b"\r\n"):
        problems.append(name + ": not CRLF throughout")
for name in ("x64/Duoview2.dll", "x86/Duoview2.dll"):
    data = archive.read(name)
    for text in ("ProductName", "Duoview2 stereo virtual camera (DirectShow)", "FileVersion"):
        if text.encode("utf-16-le") not in data:
            problems.append("%s: no %r in the version resource" % (name, text))
for problem in problems:
    print("  " + problem, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
unzip -q "$zip" -d "$work/package"
step_done "zip reproducible, entries $(unzip -Z1 "$zip" | tr '\n' ' ')"

cmake --build --preset windows --target duoview2-host DuoviewTestCams >/dev/null

# 2. Without administrator rights: stand-ins for "net session" and fltmc that
#    fail as they do for a standard user (access denied), in the current
#    folder, where cmd looks for a program before PATH.
mkdir -p "$work/standard-user"
echo 'int main(void) { return 5; }' >"$work/standard-user/denied.c"
x86_64-w64-mingw32-gcc -o "$work/standard-user/net.exe" "$work/standard-user/denied.c"
cp "$work/standard-user/net.exe" "$work/standard-user/fltmc.exe"
dv_pkg_run_script "$work/package" install.cmd cmd "$work/standard-user"
((dvPkgStatus == 5)) || fail "install.cmd without administrator rights exited $dvPkgStatus, expected 5"
grep -qxF 'Please run install.cmd as administrator (right-click, Run as administrator).' <<<"$dvPkgOutput" ||
    fail "install.cmd did not ask for administrator rights"
[[ ! -e $installedDir ]] || fail "install.cmd without administrator rights created $dvPkgInstalled"
step_done "install.cmd refuses without administrator rights (exit 5)"

# 3. Install, started from another folder as "Run as administrator" does.
dv_pkg_run_script "$work/package" install.cmd cmd
((dvPkgStatus == 0)) || fail "install.cmd exited $dvPkgStatus"
grep -q '^Duoview2 is installed' <<<"$dvPkgOutput" || fail "install.cmd did not report success"
dv_pkg_check_installed "$work/package" "x64 x86" || exit 1
step_done "install.cmd copied into $dvPkgInstalled and registered the camera there"

# 4. The host against the installed camera. The host registers the test
#    cameras of the build (--testcams); the product is used as registered (the
#    host would re-register a module named by --product, which would hide a
#    bad registration).
dv_pkg_host_frames "$host" "$testcams" "$work" regsvr32 || exit 1
dv_pkg_check_installed "$work/package" "x64 x86" || exit 1
step_done "the host received $dvPkgFrames frames from the installed camera"

# 5. Uninstall with the package's copy (the copy in the installation folder
#    cannot delete its own folder under Wine, whose cmd keeps the script open),
#    after the registration was removed by hand: uninstall.cmd must still
#    remove everything.
"${dvPkgWine[@]}" regsvr32 /u /s "$dvPkgInstalled\x64\Duoview2.dll" || fail "regsvr32 /u of the installed module"
dv_pkg_run_script "$work/package" uninstall.cmd cmd
((dvPkgStatus == 0)) || fail "uninstall.cmd exited $dvPkgStatus"
dv_pkg_check_removed "$host" || exit 1
dv_pkg_run_script "$work/package" uninstall.cmd cmd >/dev/null
((dvPkgStatus == 0)) && grep -q '^Duoview2 is not installed' <<<"$dvPkgOutput" ||
    fail "a second uninstall.cmd: $dvPkgStatus, $dvPkgOutput"
step_done "uninstall.cmd removed the registration and $dvPkgInstalled"

WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
echo "check-package-windows: all checks passed"
