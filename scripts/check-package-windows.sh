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
#  5. uninstall.cmd: nothing of the registration, no folder; the host no longer
#     lists the camera; a second uninstall.cmd finds nothing to do.
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

filterClass='{2C651615-C765-413E-8A80-C8A232F95000}'
videoInputCategory='{860BB310-5D01-11D0-BD3B-00A0C911CE86}'
legacyFilterCategory='{083863F1-70DE-11D0-BD40-00A0C911CE86}'
installed='C:\Program Files\Duoview2'
installedDir="$prefix/drive_c/Program Files/Duoview2"
host=$root/build/windows/tools/host/duoview2-host.exe
testcams=$root/build/windows/tools/testcams/DuoviewTestCams.dll

fail() {
    echo "check-package-windows: FAIL: $*" >&2
    exit 1
}
step_start=$SECONDS
step_done() {
    echo "check-package-windows: ok: $1 ($((SECONDS - step_start)) s)"
    step_start=$SECONDS
}
wine_run() { "$root/scripts/wine-run.sh" "$prefix" "$@"; }
# A Linux path as the Windows path Wine gives it (drive Z: is /).
windows_path() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }
# reg query output without CR; empty when the key does not exist (Wine's reg
# then prints its message on stdout).
reg_query() {
    local text
    text=$(wine_run reg query "$@" 2>/dev/null) || return 0
    tr -d '\r' <<<"$text"
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
status=0
output=$(cd "$work/standard-user" && wine_run cmd /c "$(windows_path "$work/package/install.cmd")" /q 2>&1 |
    tr -d '\r') || status=$?
echo "$output" | sed 's/^/  /'
((status == 5)) || fail "install.cmd without administrator rights exited $status, expected 5"
grep -qxF 'Please run install.cmd as administrator (right-click, Run as administrator).' <<<"$output" ||
    fail "install.cmd did not ask for administrator rights"
[[ ! -e $installedDir ]] || fail "install.cmd without administrator rights created $installed"
step_done "install.cmd refuses without administrator rights (exit 5)"

# 3. Install, started from another folder as "Run as administrator" does.
status=0
output=$(cd / && wine_run cmd /c "$(windows_path "$work/package/install.cmd")" /q 2>&1 | tr -d '\r') || status=$?
echo "$output" | sed 's/^/  /'
((status == 0)) || fail "install.cmd exited $status"
grep -q '^Duoview2 is installed' <<<"$output" || fail "install.cmd did not report success"
for file in x64/Duoview2.dll x86/Duoview2.dll uninstall.cmd README.txt $(cd "$work/package" && compgen -G 'guide/*.png'); do
    cmp -s "$work/package/$file" "$installedDir/$file" || fail "$installed\\$file is not the package's $file"
done
server=$(reg_query "HKCR\\CLSID\\$filterClass\\InprocServer32" /ve)
grep -qiF "$installed\\x64\\Duoview2.dll" <<<"$server" || fail "InprocServer32 of $filterClass: $server"
device=$(reg_query "HKCR\\CLSID\\$videoInputCategory\\Instance" /s)
grep -qF "CLSID    REG_SZ    $filterClass" <<<"$device" || fail "no video input device entry for $filterClass"
grep -qF 'FriendlyName    REG_SZ    Vanto 3D Virtual Camera2' <<<"$device" || fail "no video input device named Vanto 3D Virtual Camera2"
entry=$(reg_query "HKCR\\CLSID\\$legacyFilterCategory\\Instance\\$filterClass")
grep -qF "CLSID    REG_SZ    $filterClass" <<<"$entry" || fail "no filter entry for $filterClass"
step_done "install.cmd copied into $installed and registered the camera there"

# 4. The host against the installed camera. The host registers the test
#    cameras of the build (--testcams); the product is used as registered (the
#    host would re-register a module named by --product, which would hide a
#    bad registration).
status=0
output=$(cd "$work" && wine_run "$host" --testcams "$(windows_path "$testcams")" --seconds 2 --out host-out 2>&1 |
    tr -d '\r' | grep -v '^frames ') || status=$?
echo "$output" | sed 's/^/  /'
((status == 0)) || fail "the host exited $status"
if grep -q '^registered virtual camera' <<<"$output"; then
    fail "the host registered the product itself"
fi
frames=$(sed -n 's/^summary: \([0-9]*\) frames.*/\1/p' <<<"$output")
((${frames:-0} > 0)) || fail "no frames from the installed camera"
server=$(reg_query "HKCR\\CLSID\\$filterClass\\InprocServer32" /ve)
grep -qiF "$installed\\x64\\Duoview2.dll" <<<"$server" || fail "after the run, InprocServer32 is $server"
wine_run regsvr32 /u /s "$(windows_path "$testcams")" || fail "regsvr32 /u of the test cameras"
step_done "the host received $frames frames from the installed camera"

# 5. Uninstall with the package's copy (the copy in the installation folder
#    cannot delete its own folder under Wine, whose cmd keeps the script open).
status=0
output=$(cd / && wine_run cmd /c "$(windows_path "$work/package/uninstall.cmd")" /q 2>&1 | tr -d '\r') || status=$?
echo "$output" | sed 's/^/  /'
((status == 0)) || fail "uninstall.cmd exited $status"
[[ ! -e $installedDir ]] || fail "$installed is still there"
[[ -z $(reg_query "HKCR\\CLSID\\$filterClass" /s) ]] || fail "the class key $filterClass is still there"
for category in "$videoInputCategory" "$legacyFilterCategory"; do
    if reg_query "HKCR\\CLSID\\$category\\Instance" /s | grep -qiE "$filterClass|Vanto 3D Virtual Camera2"; then
        fail "an entry of the camera is left under $category"
    fi
done
listing=$(wine_run "$host" --list 2>&1 | tr -d '\r')
grep -q '^video input devices' <<<"$listing" || fail "the host did not list: $listing"
if grep -Eq '^ +[0-9]+: Vanto 3D Virtual Camera2$' <<<"$listing"; then
    fail "the device enumerator still lists the camera"
fi
status=0
output=$(wine_run cmd /c "$(windows_path "$work/package/uninstall.cmd")" /q 2>&1 | tr -d '\r') || status=$?
((status == 0)) && grep -q '^Duoview2 is not installed' <<<"$output" || fail "a second uninstall.cmd: $status, $output"
step_done "uninstall.cmd removed the registration and $installed"

WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
echo "check-package-windows: all checks passed"
