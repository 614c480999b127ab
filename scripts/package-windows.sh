#!/usr/bin/env bash
# Builds the Windows package, a zip for users:
#
#   scripts/package-windows.sh [--out FILE.zip]
#       (default: build/package/Duoview2-<version>-windows.zip)
#
# Builds the product module only (target Duoview2) in the presets `windows`
# (x86_64) and `windows-i686` (configuring them first if needed), copies both
# DLLs without debug information, and zips them with packaging/windows
# (install.cmd, uninstall.cmd, README.txt, guide/*.png if present):
#   x64/Duoview2.dll  x86/Duoview2.dll  install.cmd  uninstall.cmd  README.txt
# The zip is reproducible: entries sorted, every entry dated 2026-01-01 00:00,
# only the DOS archive attribute (no owner or permission bits), and the
# stripped DLLs carry no time stamp, so one commit gives the same bytes. <version> is project(VERSION) of the
# top-level CMakeLists.txt. DV_JOBS sets the build parallelism (default: nproc).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

version=$(sed -n 's/^project(Duoview2 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ -n $version ]] || { echo "package-windows: no project(Duoview2 VERSION ...) in CMakeLists.txt" >&2; exit 1; }
out=build/package/Duoview2-$version-windows.zip
while (($#)); do
    case $1 in
        --out) out=${2:?--out needs a file name}; shift 2 ;;
        *) echo "usage: $0 [--out FILE.zip]" >&2; exit 2 ;;
    esac
done
jobs=${DV_JOBS:-$(nproc)}

# preset -> folder inside the zip, and the binutils that strip its DLL
declare -A folder=([windows]=x64 [windows-i686]=x86)
declare -A strip=([windows]=x86_64-w64-mingw32-strip [windows-i686]=i686-w64-mingw32-strip)

stage=$(mktemp -d "${TMPDIR:-/tmp}/dv-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT

for preset in windows windows-i686; do
    start=$SECONDS
    # Quiet unless configuring or building fails.
    if [[ ! -f build/$preset/build.ninja ]] && ! cmake --preset "$preset" >"$stage/build.log" 2>&1 ||
        ! cmake --build --preset "$preset" -j "$jobs" --target Duoview2 >"$stage/build.log" 2>&1; then
        cat "$stage/build.log" >&2
        echo "package-windows: building Duoview2 in the $preset preset failed" >&2
        exit 1
    fi
    dll=build/$preset/filter/Duoview2.dll
    mkdir -p "$stage/${folder[$preset]}"
    # SOURCE_DATE_EPOCH keeps strip from writing the current time into the
    # PE header; 0 matches the linker's --no-insert-timestamp.
    SOURCE_DATE_EPOCH=0 "${strip[$preset]}" --strip-all -o "$stage/${folder[$preset]}/Duoview2.dll" "$dll"
    echo "package-windows: $preset: $dll ($(stat -c %s "$dll") bytes, $(stat -c %s "$stage/${folder[$preset]}/Duoview2.dll") stripped) in $((SECONDS - start)) s"
done
rm -f "$stage/build.log"
cp packaging/windows/install.cmd packaging/windows/uninstall.cmd packaging/windows/README.txt "$stage/"
if compgen -G 'packaging/windows/guide/*.png' >/dev/null; then
    mkdir -p "$stage/guide"
    cp packaging/windows/guide/*.png "$stage/guide/"
fi

mkdir -p "$(dirname "$out")"
python3 - "$stage" "$out" <<'PY'
import os, sys, zipfile
stage, out = sys.argv[1], sys.argv[2]
names = []
for folder, _, files in os.walk(stage):
    for name in files:
        names.append(os.path.relpath(os.path.join(folder, name), stage).replace(os.sep, "/"))
tmp = out + ".tmp"
with zipfile.ZipFile(tmp, "w") as archive:
    for name in sorted(names):
        info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        # MS-DOS attributes, "archive" only (as Windows writes them): no Unix
        # owner or mode bits. Zero would be replaced by zipfile's own default.
        info.create_system = 0
        info.external_attr = 0x20
        with open(os.path.join(stage, name), "rb") as f:
            archive.writestr(info, f.read(), compresslevel=9)
os.replace(tmp, out)
PY
echo "package-windows: $out ($(stat -c %s "$out") bytes)"
unzip -l "$out" | sed 's/^/  /'
