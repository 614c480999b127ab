#!/usr/bin/env bash
# Both bitnesses in one WoW64 prefix, inside the qemu guest
# (scripts/guest/win32-suite-guest.sh runs it):
#
#   scripts/guest/side-by-side-guest.sh BUILD64 BUILD32 PREFIX_DIR OUT_DIR
#
# Registers BUILD64's and BUILD32's Duoview2.dll and test cameras, each with the
# regsvr32 of its own bitness (system32: 64-bit, syswow64: 32-bit), in the win64
# prefix PREFIX_DIR, then checks:
#  - the class key names each DLL in its own registry view;
#  - the 64-bit and the 32-bit duoview2-host each list "Vanto 3D Virtual
#    Camera2" and run it with the test cameras of their bitness (frames arrive);
#  - a mode stored by one host is the mode the other reads (the per-user key
#    is shared between the views);
#  - unregistering the 32-bit DLL leaves the 64-bit host working, and the 32-bit
#    host no longer lists the camera.
# Prints one line per check with its time; exit status 0 when all passed.
set -uo pipefail

build64=$1
build32=$2
prefix=$3
out=$4
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
camera="Vanto 3D Virtual Camera2"
filterClass='{2C651615-C765-413E-8A80-C8A232F95000}'
failed=0
stepStart=$EPOCHREALTIME
step() {
    local now=$EPOCHREALTIME
    echo "guest-sbs: [$(awk "BEGIN { printf \"%.1f\", $now - $stepStart }") s] $*"
    stepStart=$now
}
fail() {
    echo "guest-sbs: FAIL: $*"
    failed=1
}
rm -rf "$out"
mkdir -p "$out"
w64() { "$root/scripts/wine-run.sh" --bits 64 "$prefix" "$@" 2>&1 | tr -d '\r'; }
winPath() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }
reg32='C:\windows\syswow64\regsvr32.exe'
reg64='C:\windows\system32\regsvr32.exe'

source "$root/scripts/guest/wine-session.sh"
dv_guest_wine_session 64 "$prefix" || exit 1
step "win64 prefix ready"
w64 "$reg64" /s "$(winPath "$build64/filter/Duoview2.dll")"
w64 "$reg64" /s "$(winPath "$build64/tools/testcams/DuoviewTestCams.dll")"
w64 "$reg32" /s "$(winPath "$build32/filter/Duoview2.dll")"
w64 "$reg32" /s "$(winPath "$build32/tools/testcams/DuoviewTestCams.dll")"
step "registered both bitnesses"

for view in 64 32; do
    build=$build64
    ((view == 32)) && build=$build32
    text=$(w64 reg query "HKCR\\CLSID\\$filterClass\\InprocServer32" /ve "/reg:$view")
    grep -qiF "$(winPath "$build/filter/Duoview2.dll")" <<<"$text" ||
        fail "the $view-bit view's class key does not name $build/filter/Duoview2.dll: $text"
done
step "class keys in both views"

# host BITS ARGS...: the host program of that bitness with its own test cameras.
host() {
    local bits=$1 build=$build64
    shift
    ((bits == 32)) && build=$build32
    w64 "$build/tools/host/duoview2-host.exe" "$@"
}
runs() {
    local bits=$1 build=$build64
    ((bits == 32)) && build=$build32
    local dir=$out/run$bits-$2
    # The test cameras by name: a prefix may hold other stored camera names.
    # A few frames, however long they take: programs start slowly under emulation.
    host "$bits" --testcams "$(winPath "$build/tools/testcams/DuoviewTestCams.dll")" --frames 3 --seconds 120 \
        --left "Duoview Test Camera A" --right "Duoview Test Camera B" \
        --snapshot-every 0 --out "$(winPath "$dir")" >"$dir.log"
    [[ -s $dir/duoview2.y4m ]] && grep -c FRAME "$dir/duoview2.y4m" >/dev/null
}
for bits in 64 32; do
    host "$bits" --list | grep -Eq "^ +[0-9]+: $camera\$" || fail "the $bits-bit host does not list $camera"
    runs "$bits" both || fail "the $bits-bit host got no frames (see $out/run$bits-both.log)"
done
step "each host lists and runs its own bitness"

host 64 settings --mode 4 >/dev/null
host 32 settings | grep -q '^mode: 4 ' || fail "the 32-bit host does not read the mode the 64-bit host stored"
host 32 settings --mode 8 >/dev/null
host 64 settings | grep -q '^mode: 8 ' || fail "the 64-bit host does not read the mode the 32-bit host stored"
step "one per-user settings key for both"

w64 "$reg32" /u /s "$(winPath "$build32/filter/Duoview2.dll")"
host 32 --list | grep -Eq "^ +[0-9]+: $camera\$" && fail "the 32-bit host still lists $camera after its unregistration"
host 64 --list | grep -Eq "^ +[0-9]+: $camera\$" || fail "the 64-bit host lost $camera with the 32-bit unregistration"
runs 64 after || fail "the 64-bit host got no frames after the 32-bit unregistration"
step "unregistering the 32-bit DLL leaves the 64-bit one working"

w64 "$reg64" /u /s "$(winPath "$build64/filter/Duoview2.dll")"
w64 "$reg64" /u /s "$(winPath "$build64/tools/testcams/DuoviewTestCams.dll")"
w64 "$reg32" /u /s "$(winPath "$build32/tools/testcams/DuoviewTestCams.dll")"
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
if ((failed)); then
    echo "guest-sbs: FAILED"
    exit 1
fi
echo "guest-sbs: all checks passed"
