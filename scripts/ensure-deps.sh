#!/usr/bin/env bash
# Installs the Debian packages a build needs when they are missing (as root), or prints the
# apt-get line to run. Usage: ensure-deps.sh GROUP... (host, board, fuzz, lint, m32, decode:
# wsprd, the WSPR decoder the tests check recordings with)
set -euo pipefail

want=()
need() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed' || want+=("$1"); }

for group in "$@"; do
    case "$group" in
    host)
        for p in cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libfftw3-dev libpng-dev libsndfile1-dev libunicorn-dev; do need "$p"; done
        ;;
    board)
        # The C++ headers (<array>) come with libstdc++-arm-none-eabi-dev, pulled in by -newlib.
        for p in gcc-arm-none-eabi libnewlib-arm-none-eabi binutils-arm-none-eabi picolibc-arm-none-eabi \
            libstdc++-arm-none-eabi-newlib libstdc++-arm-none-eabi-dev python3; do need "$p"; done
        ;;
    flash)
        for p in stlink-tools; do need "$p"; done
        ;;
    fuzz)
        for p in clang libclang-rt-14-dev; do need "$p"; done
        ;;
    decode)
        for p in wsjtx; do need "$p"; done
        ;;
    lint)
        for p in cppcheck clang-tidy; do need "$p"; done
        ;;
    m32)
        # 32-bit compiler and C/C++ libraries, GoogleTest's sources to build for 32 bits, and a
        # user-mode emulator for kernels that cannot run 32-bit programs themselves.
        for p in g++-multilib googletest qemu-user; do need "$p"; done
        ;;
    *)
        echo "ensure-deps: unknown group '$group'" >&2
        exit 2
        ;;
    esac
done

[ ${#want[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${want[*]}" >&2
    exit 1
fi
echo "Installing ${want[*]} ..." >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >&2
apt-get install -y -qq "${want[@]}" >&2
