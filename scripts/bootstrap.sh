#!/usr/bin/env bash
# Installs the Debian packages the build, the cross-build and the tests need.
# Idempotent: packages already installed are left alone, and the package index is
# refreshed (once) only when something is missing. Runs as root directly, or via
# sudo otherwise. Safe to call at the start of every script.
set -euo pipefail

packages=(
    # native toolchain and build tools
    g++ cmake ninja-build pkg-config
    # Windows cross-build: the posix thread model is the one whose libstdc++
    # provides std::thread / std::mutex (the win32 model of GCC 12 does not)
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    # 32-bit Windows cross-build (windows-i686; its tests run in the qemu guest)
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
    # Windows test runner; wine32:i386 runs the 32-bit tests in the qemu guest
    # (this kernel may not run 32-bit programs: scripts/wine-env.sh then keeps
    # 64-bit Wine on its own loader)
    wine wine64 wine32:i386
    # tests and benchmarks: googletest sources (rebuilt for Windows) and packages
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    # image libraries: OpenCV is the reference for the pixel kernels, libpng for tools
    libopencv-dev libpng-dev
    # V4L2 capture source: MJPEG decoding, other camera formats; ffmpeg's scaler for the conversion benchmark
    libturbojpeg0-dev libv4l-dev libswscale-dev
    # Windows package: unpacked by its check (scripts/check-package-windows.sh)
    unzip
    # the qemu guest with real kernel drivers (scripts/guest): emulator,
    # initramfs tools, headers the v4l2loopback module is built against (the
    # kernel of the same version is downloaded by scripts/guest/prepare.sh),
    # and the V4L2 tools and readers run inside it
    qemu-system-x86 busybox-static cpio xz-utils make linux-headers-amd64
    v4l-utils ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-good
    # source tooling; clang with its sanitizer and libFuzzer runtimes (fuzz preset)
    clang-format clang-tidy clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    if [[ "$status" != "install ok installed" ]]; then
        missing+=("$p")
    fi
done

if ((${#missing[@]} == 0)); then
    echo "bootstrap: all ${#packages[@]} packages present"
    exit 0
fi

if ((EUID == 0)); then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "bootstrap: missing packages (${missing[*]}) and neither root nor sudo available" >&2
    exit 1
fi

echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wine32:i386 needs the i386 architecture (multiarch) before the index update.
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
    --no-install-recommends "${missing[@]}"
echo "bootstrap: done"
