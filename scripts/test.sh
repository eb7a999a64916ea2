#!/usr/bin/env bash
# Sets up a fresh Debian machine and passes every test: native, sanitizer,
# 64-bit Windows (under 64-bit Wine) and 32-bit Windows (under 32-bit Wine)
# builds. Exits non-zero on any failure. The last line names which suites ran
# where.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# Every Windows suite runs on the 32-bit product in every run. --all is
# accepted for old habits and changes nothing.
for arg in "$@"; do
  case $arg in
    --all) ;;
    *) echo "usage: scripts/test.sh" >&2; exit 2 ;;
  esac
done

# Seconds per stage, printed before the last line.
stage_times=""
stage_t0=$SECONDS
stage_done() { stage_times="$stage_times${stage_times:+, }$1 $((SECONDS - stage_t0)) s"; stage_t0=$SECONDS; }

bash scripts/setup.sh
stage_done setup

jobs=$(nproc)
# The CTest names of a build's suites, space-separated.
suites_of() { (cd "$root/build/$1" && ctest -N | sed -n 's/^ *Test *#[0-9]*: //p' | paste -sd' '); }

configure_and_test() {
  local dir=$1; shift
  echo "==== $dir"
  cmake -S "$root" -B "$root/build/$dir" -G Ninja "$@"
  cmake --build "$root/build/$dir" -j "$jobs"
  (cd "$root/build/$dir" && ctest --output-on-failure -j "${CTEST_JOBS:-2}")
}

# The native build also runs the QEMU board tests (qemu_board_tests,
# qemu_gdb_tests): QEMU, gdb-multiarch and the PowerPC compiler come from the
# setup. The sanitizer builds leave them out (tests/qemu/CMakeLists.txt).
configure_and_test native -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage_done native
configure_and_test asan -DCMAKE_BUILD_TYPE=Debug -DDIORX_SANITIZE=ON
stage_done asan
configure_and_test tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIORX_TSAN=ON
stage_done tsan

# A minute of fuzzing the exports; any finding fails the run.
echo "==== fuzz"
bash "$root/scripts/fuzz.sh" 60
stage_done fuzz

# ---- win64: the 64-bit Windows build under 64-bit Wine ---------------------
# The same sources as the product, built with the x86_64 mingw-w64 toolchain;
# every Windows suite runs here, the fault sweep and the allocation failures
# included. The link checks the module's exports, ordinals and imports. The
# Wine prefix lives in the build tree and is made once; a persistent
# wineserver, with Wine's services already started outside any test, keeps
# every Wine start in the suites short and leaves no process holding a
# test's output open.
echo "==== win64"
win64_t0=$SECONDS
cmake -S "$root" -B "$root/build/win64" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake"
cmake --build "$root/build/win64" -j "$jobs"
bash scripts/check-pe-exports.sh "$root/build/win64/bin/diORX.dll" "$root/gdi/diORX.def" pei-x86-64
win64_t1=$SECONDS
wine64=$(sed -n 's/^WINE64_PROGRAM:FILEPATH=//p' "$root/build/win64/CMakeCache.txt")
wineserver64=""
for candidate in "$(dirname "$wine64")/wineserver64" "$(dirname "$wine64")/wineserver" "$(command -v wineserver || true)"; do
  [ -x "$candidate" ] && { wineserver64=$candidate; break; }
done
[ -n "$wineserver64" ] || { echo "no wineserver beside $wine64" >&2; exit 1; }
(
  export WINEPREFIX="$root/build/wineprefix64" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # The 32-bit half of a new prefix may fail to start here; the 64-bit
    # half is all the suites need.
    timeout 300 "$wine64" wineboot -i </dev/null >/dev/null 2>&1 || true
    timeout 120 "$wineserver64" -w
  fi
  trap '"$wineserver64" -k >/dev/null 2>&1 || true' EXIT
  "$wineserver64" -p
  timeout 120 "$wine64" cmd /c exit </dev/null >/dev/null 2>&1
  echo "win64: Wine prefix ready after $((SECONDS - win64_t1)) s"
  cd "$root/build/win64" && ctest --output-on-failure -j 1
)
win64_t2=$SECONDS
echo "win64: build $((win64_t1 - win64_t0)) s, prefix and suites $((win64_t2 - win64_t1)) s"
win64_suites=$(suites_of win64)
stage_done win64

# ---- win32: the product under 32-bit Wine -----------------------------------
# Sets win32_where: "native" (this kernel runs 32-bit programs), "guest" (in
# a virtual machine that does) or "NOT run" (with the reason in win32_skip).
echo "==== win32"
cmake -S "$root" -B "$root/build/win32" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
cmake --build "$root/build/win32" -j "$jobs"
# The module's export names, ordinals and imports need nothing to run.
bash scripts/check-pe-exports.sh "$root/build/win32/bin/diORX.dll" "$root/gdi/diORX.def" pei-i386

# Every suite runs under 32-bit Wine, one at a time, with the prefix kept in
# build/wineprefix32 (made once). Some machines (sandboxed VMs) have a 64-bit
# kernel that refuses to execute 32-bit programs: there they run in a
# full-system guest emulated by QEMU (scripts/run32.sh). Where neither works,
# say so loudly, but still fail on build errors and the static check.
win32_skip=""
win32_where=""
win32_start=$(date +%s)
if timeout 20 /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  win32_where=native win32_set=all
  win32_where_text="native Wine"
  bash scripts/win32-suites.sh "$root/build/win32" all
elif command -v qemu-system-x86_64 >/dev/null && bash scripts/setup-guest32.sh; then
  win32_set=all
  win32_where=guest
  win32_where_text="QEMU guest"
  # Bounded: a hung guest must not eat the whole CI time (a fresh prefix
  # takes 7 to 14 minutes there, the suites a few).
  bash scripts/run32.sh --timeout "${DIORX_GUEST_TIMEOUT:-2700}" -- bash scripts/win32-suites.sh "$root/build/win32" all
else
  win32_skip="this kernel cannot execute 32-bit programs (/lib/ld-linux.so.2 --version fails) and no QEMU guest could be set up"
  win32_where="NOT run"
fi
if [ -z "$win32_skip" ]; then
  echo "win32 suites: $win32_where_text, $(( $(date +%s) - win32_start )) s"
else
  echo "WARNING: the 32-bit Windows test suites were NOT run: $win32_skip."
  echo "WARNING: only the win32 build and the export/import check of its diORX.dll passed."
fi
unset WINEPREFIX WINEARCH
stage_done win32
# ---- end of win32 -------------------------------------------------------------

# ---- Summary: the last line says which suites ran where ----------------------
win32_suites=$(suites_of win32)
echo "stage times: $stage_times; in all $SECONDS s"
case $win32_where in
  native) win32_text="win32 product, all $(echo $win32_suites | wc -w) Windows suites [$win32_suites] under 32-bit Wine on this machine" ;;
  guest) win32_text="win32 product, all $(echo $win32_suites | wc -w) Windows suites [$win32_suites] under 32-bit Wine in a QEMU guest (emulated x86-64)" ;;
  *) win32_text="win32 suites NOT run (${win32_skip:-no way to run 32-bit Wine}), only built and export-checked" ;;
esac
ran="on Linux: native [$(suites_of native)], asan [$(suites_of asan)], tsan [$(suites_of tsan)], fuzz 60 s; win64 [$win64_suites] under 64-bit Wine on this machine; $win32_text"
if [ "$win32_where" = "NOT run" ]; then
  echo "WARNING: all test suites that could run passed: $ran"
else
  echo "all test suites passed: $ran"
fi
