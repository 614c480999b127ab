#!/usr/bin/env bash
# Runs a command in the qemu guest (scripts/guest/prepare.sh makes it):
#
#   scripts/guest/run.sh [--memory MB] [--timeout S] [--smp N] [--scratch DIR]
#                        [--env NAME=VALUE]... [--pass NAME]...
#                        [--loopback-label TEXT] [--loopback-devices N]
#                        COMMAND [ARGS...]
#
# Boots Debian's kernel under qemu-system-x86_64 (software emulation, TCG)
# with the vivid and v4l2loopback drivers loaded, the host's root shared
# read-only and DIR (default build/guest/scratch/default) shared writable at
# the same path, and runs COMMAND (a program or script of the host's tree, the
# repository at its own path) as root in a chroot of the host's root, from the
# current folder. Several steps: pass a script, or `bash -c '...'`.
#
#   --memory MB        guest memory (default 4096)
#   --timeout S        the guest is killed after S seconds (default 600); the
#                      exit status is then 124
#   --smp N            guest processors (default 2)
#   --scratch DIR      the writable folder; kept between runs (a Wine prefix
#                      may live there), only its job/ sub-folder is replaced
#   --env NAME=VALUE   set in the command's environment (repeatable)
#   --pass NAME        pass the host's value of NAME (repeatable)
#   --loopback-label   card label of the v4l2loopback devices
#                      (default "Vanto 3D Virtual Camera2")
#   --loopback-devices number of loopback devices (default 1)
#
# The command's environment: PATH, HOME=/tmp/home, LANG=C.UTF-8,
# GUEST_SCRATCH (the scratch folder), then --env and --pass. The guest's
# console (the command's output and any kernel message) is streamed to
# stdout; the command's output is also kept in DIR/job/log. Exit status: the
# command's, 124 on timeout, 125 when the guest failed before the command ran.
# Prints the boot time (qemu start to command start, wall clock, and the
# guest kernel's uptime then) and the whole time.
# Works as a normal user (qemu needs no rights here) and as root.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
memory=4096
timeout=600
smp=2
scratch=$root/build/guest/scratch/default
label="Vanto 3D Virtual Camera2"
loopDevices=1
envs=()

usage() {
    sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed -e '$d' -e 's/^# \{0,1\}//' >&2
    exit 2
}
while (($# > 0)); do
    case $1 in
        --memory) memory=$2; shift 2 ;;
        --timeout) timeout=$2; shift 2 ;;
        --smp) smp=$2; shift 2 ;;
        --scratch) scratch=$2; shift 2 ;;
        --env) [[ $2 == *=* ]] || usage; envs+=("$2"); shift 2 ;;
        --pass) envs+=("$2=${!2-}"); shift 2 ;;
        --loopback-label) label=$2; shift 2 ;;
        --loopback-devices) loopDevices=$2; shift 2 ;;
        -h | --help) usage ;;
        --) shift; break ;;
        -*) usage ;;
        *) break ;;
    esac
done
(($# > 0)) || usage

start=$EPOCHREALTIME
"$root/scripts/guest/prepare.sh"
command -v qemu-system-x86_64 >/dev/null || {
    echo "guest-run: qemu-system-x86_64 is missing (qemu-system-x86)" >&2
    exit 125
}

mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd -P)
job=$scratch/job
rm -rf "$job"
mkdir -p "$job"

shq() { printf '%q' "$1"; }
{
    echo "GUEST_SCRATCH=$(shq "$scratch")"
    echo "GUEST_WORKDIR=$(shq "$(pwd -P)")"
    echo "GUEST_LOOPBACK_LABEL=$(shq "$label")"
    echo "GUEST_LOOPBACK_DEVICES=$(shq "$loopDevices")"
} >"$job/params"
{
    echo "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    echo "export HOME=/tmp/home LANG=C.UTF-8 GUEST_SCRATCH=$(shq "$scratch")"
    for e in "${envs[@]}"; do
        echo "export $(shq "${e%%=*}")=$(shq "${e#*=}")"
    done
    echo 'mkdir -p "$HOME"'
    echo "cd $(shq "$PWD") || exit 125"
    printf '%q ' "$@"
    echo
} >"$job/command.sh"

kernel=$root/build/guest/vmlinux
[[ -f $kernel ]] || kernel=$root/build/guest/vmlinuz

# no_timer_check: on a busy machine the emulated timer interrupt can come too
# late for the kernel's IO-APIC check, which then panics.
# The console goes to a file that is streamed, so that the guest never reads
# the caller's terminal.
: >"$job/console"
qemu=(qemu-system-x86_64 -accel tcg -cpu max,smap=off -m "$memory" -smp "$smp"
    -nodefaults -no-user-config -display none -no-reboot -net none
    -serial "file:$job/console"
    -kernel "$kernel" -initrd "$root/build/guest/initramfs.cpio.gz"
    -append "console=ttyS0 quiet panic=-1 loglevel=3 no_timer_check"
    -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
    -virtfs "local,path=$scratch,mount_tag=scratch,security_model=none,multidevs=remap")
"${qemu[@]}" </dev/null >"$job/qemu.log" 2>&1 &
qpid=$!
tail -n +1 -f --pid="$qpid" "$job/console" | sed -u 's/\r$//' &
tailPid=$!
timedOut=0
deadline=$((SECONDS + timeout))
qemuStart=$EPOCHREALTIME
bootWall="?"
while kill -0 "$qpid" 2>/dev/null; do
    if [[ $bootWall == "?" && -f $job/boot ]]; then
        bootWall=$(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $qemuStart }")
    fi
    if ((SECONDS >= deadline)); then
        timedOut=1
        echo "guest-run: timeout after $timeout s, stopping the guest" >&2
        kill "$qpid" 2>/dev/null || true
        break
    fi
    sleep 0.2
done
wait "$qpid" 2>/dev/null || true
wait "$tailPid" 2>/dev/null || true

elapsed=$(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $start }")
if ((timedOut)); then
    status=124
elif [[ -f $job/status ]]; then
    status=$(cat "$job/status")
else
    echo "guest-run: the guest stopped without a result; qemu said:" >&2
    cat "$job/qemu.log" >&2
    status=125
fi
echo "guest-run: status $status, boot to command $bootWall s (kernel uptime $(cat "$job/boot" 2>/dev/null || echo '?') s), whole run $elapsed s"
exit "$status"
