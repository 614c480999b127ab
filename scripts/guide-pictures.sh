#!/usr/bin/env bash
# Takes the pictures of the user's guide (packaging/windows/guide/*.png): the
# product's two real property frames under Wine on a virtual X display.
#
#   scripts/guide-pictures.sh
#
# Needs Xvfb and xdotool (apt-get install xvfb xdotool) and the windows build
# (duoview2-host.exe, Duoview2.dll and the test cameras, which fill the camera
# lists). Uses its own prefix, build/package/guide/wine, with Wine's X11
# driver (not the null driver of scripts/wine-run.sh) and display :57.
# `duoview2-host settings --dialog` opens the frames one after the other; each
# is captured from Xvfb's frame buffer, cropped to the frame and closed with
# Escape, which changes no setting.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
work=$root/build/package/guide
out=$root/packaging/windows/guide
display=:57
host=$root/build/windows/tools/host/duoview2-host.exe
product=$root/build/windows/filter/Duoview2.dll
testcams=$root/build/windows/tools/testcams/DuoviewTestCams.dll
for file in "$host" "$product" "$testcams"; do
    [[ -f $file ]] || { echo "guide-pictures: $file is missing; build the windows preset first" >&2; exit 1; }
done

rm -rf "$work"
mkdir -p "$work/screen" "$out"
Xvfb "$display" -screen 0 1024x768x24 -fbdir "$work/screen" -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=$display WINEPREFIX=$work/wine WINEDEBUG=-all
# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh"
dv_wine_select 64
cleanup() {
    wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
sleep 1

WINEDLLOVERRIDES="mscoree,mshtml=" "${dvWine[@]}" wineboot -i >/dev/null 2>&1
"${dvWine[@]}" regsvr32 /s "Z:$product"
"${dvWine[@]}" regsvr32 /s "Z:$testcams"
xdotool mousemove 0 0  # keep the pointer out of the pictures
"${dvWine[@]}" "$host" settings --dialog >"$work/host.log" 2>&1 &
hostpid=$!

# capture <png>: the frame buffer, cropped to the visible property frame.
capture() {
    local window geometry
    window=$(timeout 60 xdotool search --sync --onlyvisible --name 'Vanto 3D Virtual Camera2' | head -n 1)
    sleep 2  # let the frame paint its pages
    geometry=$(xdotool getwindowgeometry --shell "$window")
    python3 - "$work/screen/Xvfb_screen0" "$1" $geometry <<'PY'
import struct, sys, zlib
source, target = sys.argv[1], sys.argv[2]
geometry = dict(item.split("=") for item in sys.argv[3:])
x, y, w, h = (int(geometry[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
data = open(source, "rb").read()
# XWD header: 25 big-endian 32-bit fields, then the window name and the colour map.
fields = struct.unpack(">25I", data[:100])
header_size, bits_per_pixel, bytes_per_line, ncolors = fields[0], fields[11], fields[12], fields[19]
byte_order = fields[7]
assert bits_per_pixel == 32 and byte_order == 0, "expected 32-bit little-endian pixels"
pixels = data[header_size + ncolors * 12:]
rows = []
for row in range(y, y + h):
    line = pixels[row * bytes_per_line + x * 4:row * bytes_per_line + (x + w) * 4]
    rgb = bytearray(w * 3)
    rgb[0::3], rgb[1::3], rgb[2::3] = line[2::4], line[1::4], line[0::4]
    rows.append(b"\0" + bytes(rgb))
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
open(target, "wb").write(png)
PY
    echo "guide-pictures: $1 (${geometry//$'\n'/ })"
    xdotool key --window "$window" Escape 2>/dev/null
    # Wait for this frame to close before looking for the next one.
    while xdotool search --onlyvisible --name 'Vanto 3D Virtual Camera2' 2>/dev/null | grep -qx "$window"; do
        sleep 0.5
    done
}
capture "$out/image-type-page.png"
capture "$out/camera-selection-page.png"
wait "$hostpid" || true
sed 's/^/  /' "$work/host.log"
