#!/usr/bin/env bash
# The Linux stage inside the qemu guest (scripts/guest/linux-v4l2-stage.sh
# runs it through scripts/guest/run.sh):
#
#   scripts/guest/linux-v4l2-guest.sh BUILD_DIR OUT_DIR
#
# Two vivid capture devices with different test patterns at 640x480 YUYV
# (30 fps asked; vivid grants 25 at that size) feed a producer that writes
# into the v4l2loopback device; while it runs, ffmpeg's v4l2 input and then
# GStreamer's v4l2src read the loopback device into raw files, and
# BUILD_DIR/tools/v4l2check/dv_v4l2_check compares what they got with the
# compositor applied to frames read from the vivid devices directly. The
# producer is BUILD_DIR/tools/host/duoview2-host when its --help offers
# --output (side by side, then colour anaglyph); otherwise ffmpeg copies the
# left device into the loopback device and the readers must see that picture
# unchanged ("FALLBACK" is printed). Prints the timings, the rates the readers
# saw and the producer's rate and CPU time per frame.
# Exit status 0 when every check passed. With DV_GUEST_CHECK=later the
# checks are not run but appended to OUT_DIR/checks.sh (a bash script whose
# status tells whether they all passed), for the caller to run natively.
set -uo pipefail

build=$1
out=$2
width=640
height=480
fps=30
granted=()
frames=${DV_GUEST_FRAMES:-20}
host=$build/tools/host/duoview2-host
checker=$build/tools/v4l2check/dv_v4l2_check
mkdir -p "$out"
export XDG_CACHE_HOME=${XDG_CACHE_HOME:-$GUEST_SCRATCH/cache}
failed=0
stepStart=$EPOCHREALTIME

step() {
    local now=$EPOCHREALTIME
    echo "guest-linux: [$(awk "BEGIN { printf \"%.1f\", $now - $stepStart }") s] $*"
    stepStart=$now
}
fail() {
    echo "guest-linux: FAIL: $*"
    failed=1
}

# The devices by their sysfs names: vivid's capture nodes and the loopback.
vivid=()
loop=
for node in /sys/class/video4linux/video*; do
    name=$(cat "$node/name")
    case $name in
        vivid-*-vid-cap) vivid+=("/dev/$(basename "$node")") ;;
        *) if [[ -z $loop ]] && v4l2-ctl -d "/dev/$(basename "$node")" -D 2>/dev/null | grep -q 'v4l2 loopback'; then
               loop=/dev/$(basename "$node")
           fi ;;
    esac
done
v4l2-ctl --list-devices 2>/dev/null
if ((${#vivid[@]} < 2)) || [[ -z $loop ]]; then
    echo "guest-linux: FAIL: expected two vivid capture devices and a loopback device"
    exit 1
fi
echo "guest-linux: left camera ${vivid[0]}, right camera ${vivid[1]}, loopback $loop ($(cat "/sys/class/video4linux/$(basename "$loop")/name"))"

# Static pictures: no text, no movement; 75% colour bars left, colour squares right.
patterns=(0 4)
for i in 0 1; do
    # The rate after the format: setting the format resets vivid's frame interval.
    v4l2-ctl -d "${vivid[$i]}" -v "width=$width,height=$height,pixelformat=YUYV" \
        --set-ctrl "osd_text_mode=2,test_pattern=${patterns[$i]}" >/dev/null &&
        v4l2-ctl -d "${vivid[$i]}" -p "$fps" >/dev/null || fail "cannot set up ${vivid[$i]}"
    granted[$i]=$(v4l2-ctl -d "${vivid[$i]}" --get-parm | sed -n 's/.*Frames per second: \([0-9]*\).*/\1/p')
    # vivid offers at most 25 frames a second at 640x480.
    ((${granted[$i]:-0} >= 25)) || fail "${vivid[$i]} runs at ${granted[$i]:-?} fps"
done
step "vivid set up: ${width}x${height} YUYV, $fps fps asked, ${granted[*]} fps granted, test patterns ${patterns[*]}"

for i in 0 1; do
    v4l2-ctl -d "${vivid[$i]}" --stream-mmap --stream-count=3 --stream-to="$out/ref$i.yuyv" 2>/dev/null ||
        fail "cannot read ${vivid[$i]}"
done
step "reference frames read from both vivid devices"

# Seconds of a buffer's time stamp in ffmpeg's showinfo lines and in
# GStreamer's identity lines (pts h:mm:ss.nnnnnnnnn).
ffmpegTimes() { tr '\r' '\n' <"$1" | sed -n 's/.*Parsed_showinfo.* pts_time:\([0-9.]*\).*/\1/p'; }
gstTimes() {
    sed -n 's/.*identity0:sink.* pts: \([0-9]*\):\([0-9]*\):\([0-9.]*\),.*/\1 \2 \3/p' "$1" |
        awk '{ printf "%.6f\n", $1 * 3600 + $2 * 60 + $3 }'
}
gstOffsets() { sed -n 's/.*identity0:sink.* offset: \([0-9]*\),.*/\1/p' "$1"; }
# The frames the ffmpeg producer has written so far (empty for the host program).
producerFrames() { [[ -f $out/producer.progress ]] && sed -n 's/^frame=\([0-9]*\)/\1/p' "$out/producer.progress" | tail -n 1; }
cpuTicks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }

# One run: the producer (already started, pid $1) into the loopback device,
# both readers, the producer stopped with SIGINT, the check against $2.
# $3 names the run in the result lines; $4 lists the exit statuses that
# count as a clean stop.
readAndCheck() {
    local producer=$1 expect=$2 label=$3 dir=$out/$3 clean=" $4 "
    mkdir -p "$dir"
    local waited=0
    until v4l2-ctl -d "$loop" -D 2>/dev/null | grep -q 'Video Capture'; do
        if ! kill -0 "$producer" 2>/dev/null || ((waited >= 1200)); then
            fail "$label: the loopback device never offered capture (producer gone or 120 s passed)"
            kill -INT "$producer" 2>/dev/null
            wait "$producer"
            return
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    step "$label: the producer streams into $loop"
    local ticks0 ticks1 t0 t1
    ticks0=$(cpuTicks "$producer")
    local frames0 frames1
    frames0=$(producerFrames)
    t0=$EPOCHREALTIME
    ffmpeg -hide_banner -nostdin -nostats -f v4l2 -input_format yuyv422 -i "$loop" -frames:v "$frames" -vf showinfo -fps_mode passthrough \
        -f rawvideo -y "$dir/ffmpeg.yuyv" >"$dir/ffmpeg.log" 2>&1 &
    local r1=$!
    # One reader after the other: v4l2loopback 0.12 serves two openers, but
    # v4l2src starting while ffmpeg streams makes ffmpeg's VIDIOC_DQBUF fail
    # with EINVAL after a frame or two.
    wait "$r1" || fail "$label: the ffmpeg reader failed: $(tail -n 3 "$dir/ffmpeg.log")"
    gst-launch-1.0 -v v4l2src device="$loop" num-buffers="$frames" ! video/x-raw,format=YUY2 ! \
        identity silent=false ! filesink location="$dir/gst.yuyv" >"$dir/gst.log" 2>&1 &
    local r2=$!
    wait "$r2" || fail "$label: the GStreamer reader failed: $(tail -n 3 "$dir/gst.log")"
    t1=$EPOCHREALTIME
    ticks1=$(cpuTicks "$producer")
    frames1=$(producerFrames)
    step "$label: both readers done"

    local stopStart=$EPOCHREALTIME
    kill -INT "$producer" 2>/dev/null
    local waitedStop=0
    while kill -0 "$producer" 2>/dev/null && ((waitedStop < 150)); do
        sleep 0.1
        waitedStop=$((waitedStop + 1))
    done
    if kill -0 "$producer" 2>/dev/null; then
        fail "$label: the producer did not stop within 15 s of SIGINT"
        kill -KILL "$producer"
    fi
    wait "$producer"
    local status=$?
    echo "guest-linux: $label: producer stopped by SIGINT in $(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $stopStart }") s, exit status $status"
    [[ $clean == *" $status "* ]] || fail "$label: the producer's exit status after SIGINT is $status"

    ffmpegTimes "$dir/ffmpeg.log" >"$dir/ffmpeg.times"
    gstTimes "$dir/gst.log" >"$dir/gst.times"
    # The producer's rate and CPU time over the readers' span, from the frame
    # counts it reports (ffmpeg's -progress file; the host program prints its
    # own summary instead). The loopback's sequence numbers count reads, not
    # writes, so they cannot tell.
    if [[ -n $frames0 && -n $frames1 ]]; then
        awk -v ticks="$((ticks1 - ticks0))" -v hz="$(getconf CLK_TCK)" -v n="$((frames1 - frames0))" \
            -v s="$(awk "BEGIN { print $t1 - $t0 }")" -v l="$label" \
            'BEGIN { printf "guest-linux: %s: producer wrote %d frames in %.1f s (%.1f fps), CPU %.1f ms per frame\n",
                     l, n, s, n / s, (n > 0 ? 1000 * ticks / hz / n : 0) }'
    else
        echo "guest-linux: $label: producer used $(awk "BEGIN { printf \"%.1f\", $((ticks1 - ticks0)) / $(getconf CLK_TCK) }") s of CPU in $(awk "BEGIN { printf \"%.1f\", $t1 - $t0 }") s"
    fi
    local check=("$checker" --size "${width}x$height" --format yuyv --expect "$expect"
        --left "$out/ref0.yuyv" --right "$out/ref1.yuyv" --skip 1 --min-frames $((frames - 1))
        --reader "ffmpeg=$dir/ffmpeg.yuyv,$dir/ffmpeg.times"
        --reader "gstreamer=$dir/gst.yuyv,$dir/gst.times")
    if [[ ${DV_GUEST_CHECK:-} == later ]]; then
        # The caller runs the checks natively after the guest stopped.
        echo "${check[*]@Q} 2>&1 | sed 's/^/guest-linux: $label: /'; ((PIPESTATUS[0] == 0)) || exit 1" >>"$out/checks.sh"
        return
    fi
    "${check[@]}" 2>&1 | sed "s/^/guest-linux: $label: /"
    ((PIPESTATUS[0] == 0)) || fail "$label: the check failed"
    step "$label: checked"
}

if [[ -x $host ]] && "$host" --help 2>&1 | grep -q -- '--output'; then
    export DV_REGISTRY_DIR=$out/registry
    "$host" --list --out "$out/host" 2>&1 | sed 's/^/guest-linux: host: /'
    # Both vivid devices carry one card name; the stored-name rule makes the
    # first left and the second right.
    names=()
    for dev in "${vivid[@]}"; do
        names+=("$(v4l2-ctl -d "$dev" -D | sed -n 's/^\s*Card type\s*: //p')")
    done
    for run in "2 side-by-side" "4 colour-anaglyph"; do
        set -- $run
        "$host" --left "${names[0]}" --right "${names[1]}" --mode "$1" --size 1 --output "$loop" \
            --out "$out/host-$2" >"$out/host-$2.log" 2>&1 &
        readAndCheck $! "$1:0" "$2" 0
        sed 's/^/guest-linux: host: /' "$out/host-$2.log" | tail -n 6
    done
else
    echo "guest-linux: FALLBACK: $host has no --output; ffmpeg copies ${vivid[0]} into $loop and the readers must see it unchanged"
    ffmpeg -hide_banner -nostdin -loglevel error -f v4l2 -input_format yuyv422 -video_size "${width}x$height" \
        -framerate "$fps" -i "${vivid[0]}" -progress "$out/producer.progress" -stats_period 0.5 -f v4l2 -pix_fmt yuyv422 "$loop" >"$out/producer.log" 2>&1 &
    # ffmpeg ends with 255 when interrupted.
    readAndCheck $! passthrough "fallback-passthrough" 255
fi

if ((failed)); then
    echo "guest-linux: FAILED"
    exit 1
fi
if [[ ${DV_GUEST_CHECK:-} == later ]]; then
    echo "guest-linux: guest part passed; the picture checks follow ($out/checks.sh)"
else
    echo "guest-linux: all checks passed"
fi
