#!/usr/bin/env bash
# Prepares the qemu guest into build/guest/ (a cache, reused while it matches):
#
#   scripts/guest/prepare.sh [--force]
#
#   build/guest/vmlinuz           Debian's kernel, the version of the installed
#                                 linux-headers-<ver>-amd64
#   build/guest/vmlinux           its uncompressed ELF image (booted when present)
#   build/guest/initramfs.cpio.gz busybox, the modules the guest needs (virtio
#                                 9p, vivid and its media dependencies,
#                                 v4l2loopback built from Debian's
#                                 v4l2loopback-dkms source) and scripts/guest/init
#   build/guest/stamp             what the cache was made from
#
# The kernel and the module source come from Debian's archive with
# `apt-get download` and are unpacked with `dpkg-deb -x`; nothing is installed
# except by scripts/bootstrap.sh. Prints the time it took. Safe to run again:
# when the stamp matches it does nothing.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cache=$root/build/guest
force=0
[[ ${1:-} == --force ]] && force=1
start=$EPOCHREALTIME

say() { echo "guest-prepare: $*"; }
die() {
    echo "guest-prepare: $*" >&2
    exit 1
}

# The kernel version is the one whose headers are installed: the meta package
# linux-headers-amd64 (scripts/bootstrap.sh) names it.
headersPkg=$(dpkg-query -W -f='${Depends}' linux-headers-amd64 2>/dev/null | grep -o 'linux-headers-[0-9][^ ,]*-amd64' | head -n 1) ||
    true
[[ -n $headersPkg ]] || die "linux-headers-amd64 is not installed (scripts/bootstrap.sh installs it)"
kver=${headersPkg#linux-headers-}
headersDir=/usr/src/$headersPkg
[[ -d $headersDir ]] || die "$headersDir is missing"
debVersion=$(dpkg-query -W -f='${Version}' "$headersPkg")
busybox=$(command -v busybox) || die "busybox is missing (busybox-static)"

kernelStamp="kernel=$kver deb=$debVersion prepare=$(sed -n '/^# -- kernel/,/^# -- initramfs/p' "$0" | sha256sum | cut -c1-16)"
stamp="$kernelStamp init=$(sha256sum "$root/scripts/guest/init" | cut -c1-16) busybox=$(sha256sum "$busybox" | cut -c1-16)"
if ((force == 0)) && [[ -f $cache/stamp && $(cat "$cache/stamp") == "$stamp" && -f $cache/vmlinuz && -f $cache/initramfs.cpio.gz ]]; then
    say "cached ($stamp)"
    exit 0
fi
rm -f "$cache/stamp"
mkdir -p "$cache"

# -- kernel: the kernel and the module tree of the initramfs (build/guest/modules),
# made again only when the kernel version or this part changes.
modtree=$cache/modules
if ((force == 1)) || [[ ! -f $cache/kernel.stamp || $(cat "$cache/kernel.stamp") != "$kernelStamp" || ! -f $cache/vmlinuz ]]; then
    rm -f "$cache/kernel.stamp"
    work=$cache/work
    rm -rf "$work" "$modtree"
    mkdir -p "$work/debs"
    chmod 777 "$work/debs" # apt-get download drops privileges to _apt where it can

    say "downloading linux-image-$kver=$debVersion and v4l2loopback-dkms"
    (cd "$work/debs" && apt-get download -q "linux-image-$kver=$debVersion" v4l2loopback-dkms 2>&1 |
        grep -v '^W: Download is performed unsandboxed') || true
    imageDeb=$(ls "$work/debs"/linux-image-"$kver"_*.deb 2>/dev/null | head -n 1)
    loopDeb=$(ls "$work/debs"/v4l2loopback-dkms_*.deb 2>/dev/null | head -n 1)
    [[ -n $imageDeb && -n $loopDeb ]] || die "download failed (is the package index current? apt-get update)"

    say "unpacking the kernel"
    dpkg-deb -x "$imageDeb" "$work/image"
    dpkg-deb -x "$loopDeb" "$work/loop"
    moddir=$work/image/lib/modules/$kver
    [[ -f $work/image/boot/vmlinuz-$kver && -d $moddir ]] || die "unexpected layout of $imageDeb"

    say "building v4l2loopback against $headersDir"
    loopSrc=$(ls -d "$work"/loop/usr/src/v4l2loopback-* | head -n 1)
    make -s -C "$headersDir" M="$loopSrc" modules -j"$(nproc)" >"$work/v4l2loopback-build.log" 2>&1 ||
        die "v4l2loopback build failed: $(tail -n 20 "$work/v4l2loopback-build.log")"
    [[ -f $loopSrc/v4l2loopback.ko ]] || die "v4l2loopback.ko was not built"

    # The modules the guest loads with everything they depend on (closure
    # from the kernel's own modules.dep).
    "$busybox" depmod -b "$work/image" "$kver"
    mkdir -p "$modtree/lib/modules/$kver/extra"
    wanted=(virtio_pci 9pnet_virtio 9p overlay vivid)
    declare -A seen=()
    addModule() {
        local rel=$1
        [[ -n ${seen[$rel]:-} ]] && return 0
        seen[$rel]=1
        mkdir -p "$modtree/lib/modules/$kver/$(dirname "$rel")"
        cp "$moddir/$rel" "$modtree/lib/modules/$kver/$rel"
        local dep
        for dep in $(sed -n "s|^$rel: *||p" "$moddir/modules.dep"); do
            addModule "$dep"
        done
    }
    for name in "${wanted[@]}"; do
        rel=$(grep -E "(^|/)$name\.ko:" "$moddir/modules.dep" | head -n 1 | cut -d: -f1)
        [[ -n $rel ]] || die "module $name not found in $kver"
        addModule "$rel"
    done
    cp "$loopSrc/v4l2loopback.ko" "$modtree/lib/modules/$kver/extra/"
    cp "$moddir"/modules.builtin "$moddir"/modules.order "$modtree/lib/modules/$kver/"
    "$busybox" depmod -b "$modtree" "$kver"
    echo "${#seen[@]} modules + v4l2loopback" >"$cache/modules.txt"
    cp "$work/image/boot/vmlinuz-$kver" "$cache/vmlinuz"
    # The kernel's own ELF image (its xz payload): qemu starts it at its PVH
    # entry, which spares the guest the decompression (many seconds under TCG).
    rm -f "$cache/vmlinux"
    for offset in $(LC_ALL=C grep -obUaP '\xfd7zXZ' "$cache/vmlinuz" | cut -d: -f1); do
        # xz stops reading at the end of its stream, so tail may die of SIGPIPE.
        if (set +o pipefail; tail -c +$((offset + 1)) "$cache/vmlinuz" | xz -dc --single-stream >"$cache/vmlinux" 2>/dev/null) &&
            [[ $(head -c 4 "$cache/vmlinux" | od -An -c | tr -d ' ') == 177ELF ]]; then
            break
        fi
        rm -f "$cache/vmlinux"
    done
    [[ -f $cache/vmlinux ]] || say "no ELF image inside vmlinuz; the guest boots the compressed kernel"
    rm -rf "$work"
    echo "$kernelStamp" >"$cache/kernel.stamp"
fi

# -- initramfs: busybox with its applets as links, the module tree and the init script.
say "making the initramfs"
ird=$cache/initramfs
rm -rf "$ird"
mkdir -p "$ird"/{bin,dev,proc,sys,mnt/scratch,newroot}
cp -a "$modtree/lib" "$ird/"
cp "$busybox" "$ird/bin/busybox"
for applet in $("$busybox" --list); do
    [[ $applet == busybox ]] || ln -sf busybox "$ird/bin/$applet"
done
cp "$root/scripts/guest/init" "$ird/init"
chmod 755 "$ird/init"
(cd "$ird" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1 >"$cache/initramfs.cpio.gz.tmp")
mv "$cache/initramfs.cpio.gz.tmp" "$cache/initramfs.cpio.gz"
rm -rf "$ird"
echo "$stamp" >"$cache/stamp"
say "ready: kernel $kver, $(cat "$cache/modules.txt"), initramfs $(du -k "$cache/initramfs.cpio.gz" | cut -f1) KiB in $(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $start }") s"
