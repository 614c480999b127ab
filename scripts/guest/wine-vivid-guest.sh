#!/usr/bin/env bash
# The virtual camera on real V4L2 drivers through Wine's own capture filter,
# inside the qemu guest (scripts/guest/win32-suite-guest.sh runs it):
#
#   scripts/guest/wine-vivid-guest.sh BITS BUILD_DIR PREFIX_DIR OUT_DIR
#
# vivid's two capture devices get different static test patterns (75% colour
# bars left, colour squares right; no text) and 30 fps are asked; reference
# frames are read from both devices directly (YUYV 640x480). Then, in the
# Wine prefix PREFIX_DIR (win64, or win32 for BITS 32 only), BUILD_DIR
# /tools/host/duoview2-host.exe must list both devices as
# "vivid" (Wine's device enumerator) and run the virtual camera with the
# stored camera names "vivid" and "vivid" (the first device is the left
# camera, its twin the right one), once side by side and once as a colour
# anaglyph, recording the composed frames (OUT_DIR/BITS-MODE/duoview2.y4m and
# PNG snapshots). The picture checks (dv_v4l2_check against the compositor
# applied to the references) are appended to OUT_DIR/checks.sh, for the
# caller to run natively after the guest stopped: the recordings are
# converted there with ffmpeg. DV_GUEST_VIVID_FRAMES sets the frames a run
# records (default 20).
# Prints one line per step with its time and the host's frame rate; exit
# status 0 when every guest-side step passed.
set -uo pipefail

bits=$1
build=$2
prefix=$3
out=$4
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
width=640
height=480
fps=30
frames=${DV_GUEST_VIVID_FRAMES:-20}
host=$build/tools/host/duoview2-host.exe
tag="guest-vivid$bits"
failed=0
stepStart=$EPOCHREALTIME
step() {
    local now=$EPOCHREALTIME
    echo "$tag: [$(awk "BEGIN { printf \"%.1f\", $now - $stepStart }") s] $*"
    stepStart=$now
}
fail() {
    echo "$tag: FAIL: $*"
    failed=1
}
mkdir -p "$out"
winPath() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }
wine() { "$root/scripts/wine-run.sh" --bits "$bits" "$prefix" "$@" 2>&1 | tr -d '\r'; }

[[ -f $host ]] || {
    echo "$tag: FAIL: $host is missing"
    exit 1
}
vivid=()
for node in /sys/class/video4linux/video*; do
    [[ $(cat "$node/name") == vivid-*-vid-cap ]] && vivid+=("/dev/$(basename "$node")")
done
((${#vivid[@]} >= 2)) || {
    echo "$tag: FAIL: expected two vivid capture devices, found ${#vivid[@]}"
    exit 1
}

# Static pictures: no text, no movement. The rate after the format: setting
# the format resets vivid's frame interval (Wine sets its own format later;
# the test pattern stays).
patterns=(0 4)
granted=()
for i in 0 1; do
    v4l2-ctl -d "${vivid[$i]}" -v "width=$width,height=$height,pixelformat=YUYV" \
        --set-ctrl "osd_text_mode=2,test_pattern=${patterns[$i]}" >/dev/null &&
        v4l2-ctl -d "${vivid[$i]}" -p "$fps" >/dev/null || fail "cannot set up ${vivid[$i]}"
    granted[$i]=$(v4l2-ctl -d "${vivid[$i]}" --get-parm | sed -n 's/.*Frames per second: \([0-9]*\).*/\1/p')
    v4l2-ctl -d "${vivid[$i]}" --stream-mmap --stream-count=3 --stream-to="$out/ref$i.yuyv" 2>/dev/null ||
        fail "cannot read ${vivid[$i]}"
done
step "vivid ${vivid[*]}: ${width}x$height YUYV, $fps fps asked, ${granted[*]} fps granted, test patterns ${patterns[*]}, references read"

source "$root/scripts/guest/wine-session.sh"
dv_guest_wine_session "$bits" "$prefix" || exit 1
step "$bits-bit prefix ready"
listing=$(wine "$host" --list)
step "Wine's device enumerator ($bits-bit):$(sed -n 's/^ *[0-9]*: \(.*\)$/ "\1"/p' <<<"$listing" | tr -d '\n')"
(($(grep -Ec '^ +[0-9]+: vivid$' <<<"$listing") == 2)) ||
    fail "the $bits-bit device enumerator does not list two devices named \"vivid\": $listing"

for run in "2 side-by-side" "4 colour-anaglyph"; do
    set -- $run
    mode=$1
    dir=$out/$bits-$2
    rm -rf "$dir"
    mkdir -p "$dir"
    wine "$host" --left vivid --right vivid --mode "$mode" --swap 0 --size 1 --seconds 120 --frames "$frames" \
        --snapshot-every 4 --out "$(winPath "$dir")" >"$dir.log"
    status=${PIPESTATUS[0]}
    summary=$(grep -E '^(virtual camera|connected|summary):' "$dir.log")
    sed "s/^/$tag: $2: /" <<<"$summary"
    step "$2: the $bits-bit host ended with status $status"
    if ((status != 0)) || [[ ! -s $dir/duoview2.y4m ]]; then
        fail "$2: the $bits-bit host failed (status $status): $(tail -n 5 "$dir.log")"
        continue
    fi
    grep -q 'connected: .*640x480 RGB24' "$dir.log" || fail "$2: the output was not connected at 640x480 RGB24"
    # The checks: every recorded frame (from the video, chroma halved both
    # ways, so with a looser bound) and every snapshot (exact pixels) but the
    # first, which may come before the right camera's first picture.
    check=("$root/build/default/tools/v4l2check/dv_v4l2_check" --size "${width}x$height" --format rgb24
        --expect "$mode:0" --left "$out/ref0.yuyv" --right "$out/ref1.yuyv" --skip 1)
    cat >>"$out/checks.sh" <<EOF
ffmpeg -hide_banner -nostdin -loglevel error -i ${dir@Q}/duoview2.y4m -f rawvideo -pix_fmt rgb24 -y ${dir@Q}/video.rgb &&
ffmpeg -hide_banner -nostdin -loglevel error -pattern_type glob -i ${dir@Q}'/frame-*.png' -f rawvideo -pix_fmt rgb24 -y ${dir@Q}/snapshots.rgb || exit 1
${check[*]@Q} --min-frames $((frames - 2)) --reader video=${dir@Q}/video.rgb 2>&1 | sed 's/^/$tag: $2: /'; ((PIPESTATUS[0] == 0)) || exit 1
${check[*]@Q} --min-frames 2 --reader snapshots=${dir@Q}/snapshots.rgb 2>&1 | sed 's/^/$tag: $2: /'; ((PIPESTATUS[0] == 0)) || exit 1
EOF
done

# The stored camera names would make later runs in this prefix pick vivid.
wine reg delete 'HKCU\Software\VANTO Automation\stereoWebcam' /f >/dev/null
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
if ((failed)); then
    echo "$tag: FAILED"
    exit 1
fi
echo "$tag: guest part passed; the picture checks follow"
