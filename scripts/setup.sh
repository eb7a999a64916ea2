#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian (as root).
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-i686 wine wine32:i386
          g++-mingw-w64-x86-64 wine64
          libunicorn-dev gcc-arm-none-eabi binutils-arm-none-eabi libnewlib-arm-none-eabi libelf-dev libcapstone-dev libedit-dev
          clang-14 libfuzzer-14-dev libclang-rt-14-dev
          gdb-multiarch python3 qemu-system-arm qemu-system-ppc qemu-system-misc gcc-powerpc-linux-gnu
          qemu-system-x86 busybox-static
          gdb-source dejagnu
          sdcc sdcc-ucsim libz80ex-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  dpkg --add-architecture i386
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# A kernel that refuses 32-bit programs cannot run 32-bit Wine: the Windows
# suites then run in a full-system guest (scripts/run32.sh), whose kernel and
# initramfs come from Debian's packages into build/guest32/.
if ! timeout 20 /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  bash "$(dirname "$0")/setup-guest32.sh"
fi
