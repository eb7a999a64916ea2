#!/usr/bin/env bash
# Sets up a fresh Debian machine and passes every test: native, sanitizer and
# 32-bit Windows (under Wine) builds. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# --all: where the 32-bit Windows suites run in the emulated guest, run all of
# them instead of the quick set (see the README).
win32_all=""
for arg in "$@"; do
  case $arg in
    --all) win32_all=1 ;;
    *) echo "usage: scripts/test.sh [--all]" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh

jobs=$(nproc)
configure_and_test() {
  local dir=$1; shift
  echo "==== $dir"
  cmake -S "$root" -B "$root/build/$dir" -G Ninja "$@"
  cmake --build "$root/build/$dir" -j "$jobs"
  (cd "$root/build/$dir" && ctest --output-on-failure -j "${CTEST_JOBS:-2}")
}

configure_and_test native -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure_and_test asan -DCMAKE_BUILD_TYPE=Debug -DDIORX_SANITIZE=ON
configure_and_test tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIORX_TSAN=ON

# A minute of fuzzing the exports; any finding fails the run.
echo "==== fuzz"
bash "$root/scripts/fuzz.sh" 60

echo "==== win32"
cmake -S "$root" -B "$root/build/win32" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
cmake --build "$root/build/win32" -j "$jobs"
# The module's export names, ordinals and imports need nothing to run.
bash scripts/check-pe-exports.sh "$root/build/win32/bin/diORX.dll" "$root/gdi/diORX.def"

# The suites run under 32-bit Wine, one at a time, with the prefix kept in
# build/wineprefix32 (made once). Some machines (sandboxed VMs) have a 64-bit
# kernel that refuses to execute 32-bit programs: there they run in a
# full-system guest emulated by QEMU (scripts/run32.sh), the quick set in
# every run and the rest only with --all. Where neither works, say so loudly,
# but still fail on build errors and the static check.
win32_skip=""
win32_where=""
win32_start=$(date +%s)
if timeout 20 /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  win32_where="native Wine"
  bash scripts/win32-suites.sh "$root/build/win32" all
elif command -v qemu-system-x86_64 >/dev/null && bash scripts/setup-guest32.sh; then
  win32_set=quick
  [ -n "$win32_all" ] && win32_set=all
  win32_where="QEMU guest ($([ $win32_set = all ] && echo all || echo quick set))"
  # Bounded: a hung guest must not eat the whole CI time.
  win32_limit=2400
  [ $win32_set = all ] && win32_limit=14400
  bash scripts/run32.sh --timeout "${DIORX_GUEST_TIMEOUT:-$win32_limit}" -- bash scripts/win32-suites.sh "$root/build/win32" "$win32_set"
else
  win32_skip="this kernel cannot execute 32-bit programs (/lib/ld-linux.so.2 --version fails) and no QEMU guest could be set up"
fi
if [ -z "$win32_skip" ]; then
  echo "win32 suites: $win32_where, $(( $(date +%s) - win32_start )) s"
else
  echo "WARNING: the Windows test suites were NOT run: $win32_skip."
  echo "WARNING: only the win32 build and the static export/import check of diORX.dll passed."
fi

if [ -z "$win32_skip" ]; then
  echo "all test suites passed"
else
  echo "all test suites that could run passed; WARNING: Windows suites skipped ($win32_skip)"
fi
