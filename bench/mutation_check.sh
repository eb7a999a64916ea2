#!/usr/bin/env bash
# How fast the end-to-end checks find a broken module: applies each patch in
# bench/mutations/ (each breaks the module in one way that matters to a
# front-end) to a copy of the tree, builds the fast suites (the fault sweep,
# unit_tests with the family tables, the ARM module test, the bare-host
# test) and the exports fuzzer, runs them with a time limit and prints the
# seconds each needed to fail; the last column is the fastest of them. Every
# file of the module that holds code has at least one patch. A patch of a
# Windows platform file (platform/*_win32.cpp) runs unit_tests of the 64-bit
# Windows build under 64-bit Wine instead (its prefix in build/mutation). The copy is patched back after every mutation. A run by hand,
# like a benchmark; CI does not run it.
#
#   bash bench/mutation_check.sh [SECONDS] [MUTATION...]
#
# SECONDS (default 60, the time CI fuzzes) bounds each fuzzer run and each
# sweep run. MUTATION names patches without their .patch (default: all). The
# unpatched tree runs first: every suite must pass it and the fuzzer must find
# nothing in SECONDS, or the timings below it mean nothing.
#
# The copy and its builds stay in build/mutation/ for the next run (only
# changed files are copied again). The fuzzer starts each mutation from the
# seed corpus alone, with a fixed seed, as CI's clean clone does.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
shift $(( $# > 0 ? 1 : 0 ))
work=$root/build/mutation
src=$work/src
jobs=${JOBS:-2}
mkdir -p "$src"

# ---- A copy of the tree, files rewritten only when they changed -----------
(cd "$root" && { git ls-files; git ls-files --others --exclude-standard; } | grep -v '^build/') |
  while IFS= read -r f; do
    [ -f "$root/$f" ] || continue
    if ! cmp -s "$root/$f" "$src/$f"; then
      mkdir -p "$(dirname "$src/$f")"
      cp -p "$root/$f" "$src/$f"
    fi
  done

cmake -S "$src" -B "$work/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIORX_BENCHMARKS=OFF >/dev/null ||
  { echo "mutation_check: native configure failed" >&2; exit 2; }
CC=clang-14 CXX=clang++-14 cmake -S "$src" -B "$work/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDIORX_FUZZ=ON -DDIORX_BENCHMARKS=OFF >/dev/null || { echo "mutation_check: fuzz configure failed" >&2; exit 2; }

# The Windows build, for the patches of the Windows platform files only.
is_windows_patch() { grep -q '^+++ b/platform/.*_win32' "$root/bench/mutations/$1.patch"; }
windows_ready=""
windows_build() {
  if [ -z "$windows_ready" ]; then
    cmake -S "$src" -B "$work/win64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-x86_64.cmake" -DDIORX_BENCHMARKS=OFF >/dev/null || return 1
    # The prefix is made before anything is timed.
    local wine64 server
    wine64=$(sed -n 's/^WINE64_PROGRAM:FILEPATH=//p' "$work/win64/CMakeCache.txt")
    for server in "$(dirname "$wine64")/wineserver64" "$(dirname "$wine64")/wineserver" "$(command -v wineserver || true)"; do
      [ -x "$server" ] && break
    done
    if [ ! -f "$work/wineprefix64/system.reg" ]; then
      WINEPREFIX="$work/wineprefix64" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        timeout 300 "$wine64" wineboot -i </dev/null >/dev/null 2>&1 || true
      WINEPREFIX="$work/wineprefix64" timeout 120 "$server" -w || true
    fi
    windows_ready=1
  fi
  cmake --build "$work/win64" -j "$jobs" --target unit_tests diORX >"$work/build.log" 2>&1
}
# Under Wine a breakpoint trap (gtest's --gtest_break_on_failure) may end the
# program with status 0: the first failure ends the run through
# --gtest_fail_fast instead.
run_windows() {
  local name=$1 dir=$work/runs/$1 wine64 unit
  rm -rf "$dir" && mkdir -p "$dir"
  wine64=$(sed -n 's/^WINE64_PROGRAM:FILEPATH=//p' "$work/win64/CMakeCache.txt")
  unit=$(cd "$work/win64/bin" && WINEPREFIX="$work/wineprefix64" WINEARCH=win64 WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml=" timed "$dir/unit.log" "$seconds" "$wine64" ./unit_tests.exe --gtest_fail_fast)
  printf '%-42s %8s %8s %8s %16s %16s %8s\n' "$name (win64)" n/a "$unit" n/a n/a n/a "$(echo "$unit" | grep -E '^[0-9.]+$' || echo -)" |
    tee -a "$work/results.txt"
}

build() {
  cmake --build "$work/native" -j "$jobs" --target sweep_tests unit_tests arm_module_test bare_host_tests >"$work/build.log" 2>&1 &&
    cmake --build "$work/fuzz" -j "$jobs" --target export_fuzzer Weavemill >>"$work/build.log" 2>&1
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# Runs a command for at most LIMIT seconds; prints the seconds it took when it
# failed, "-" when it passed (the fuzzer: found nothing in $seconds), ">N"
# when it was still running at the limit (a hang).
timed() {
  local log=$1 limit=$2; shift 2
  local t0; t0=$(now)
  timeout --kill-after=10 "$limit" "$@" >"$log" 2>&1
  local rc=$?
  if [ $rc -eq 0 ]; then echo "-"
  elif [ $rc -eq 124 ] || [ $rc -eq 137 ]; then echo ">$limit"
  else elapsed "$t0"; fi
}

run_suites() {
  local name=$1 dir=$work/runs/$1
  rm -rf "$dir" && mkdir -p "$dir/corpus"
  local sweep unit arm bare fuzz
  # The first failure ends a suite: its time is the time to detection.
  sweep=$(cd "$work/native/bin" && timed "$dir/sweep.log" "$seconds" ./sweep_tests --gtest_break_on_failure)
  unit=$(cd "$work/native/bin" && timed "$dir/unit.log" "$seconds" ./unit_tests --gtest_break_on_failure)
  arm=$(cd "$work/native/bin" && timed "$dir/arm.log" "$seconds" ./arm_module_test)
  bare=$(cd "$work/native/bin" && timed "$dir/bare.log" "$seconds" ./bare_host_tests)
  # libFuzzer stops by itself after $seconds; the limit only catches a hang.
  fuzz=$(timed "$dir/fuzz.log" $((seconds + 60)) "$work/fuzz/bin/export_fuzzer" -seed=1 -max_total_time="$seconds" -max_len=8192 \
    -timeout=25 -rss_limit_mb=2048 -artifact_prefix="$dir/" "$dir/corpus" "$src/fuzz/corpus")
  local first
  first=$(printf '%s\n' "$sweep" "$unit" "$fuzz" "$arm" "$bare" | grep -E '^[0-9.]+$' | sort -g | head -1)
  printf '%-42s %8s %8s %8s %16s %16s %8s\n' "$name" "$sweep" "$unit" "$fuzz" "$arm" "$bare" "${first:--}" |
    tee -a "$work/results.txt"
}

mutations=("$@")
if [ ${#mutations[@]} -eq 0 ]; then
  for p in "$root"/bench/mutations/*.patch; do mutations+=("$(basename "$p" .patch)"); done
fi

applied=""
revert() { [ -n "$applied" ] && patch -s -R -p1 -d "$src" <"$root/bench/mutations/$applied.patch"; applied=""; }
trap revert EXIT

echo "# seconds to detection, limit $seconds s ('-': not detected, '>N': still running at the limit)" | tee "$work/results.txt"
printf '%-42s %8s %8s %8s %16s %16s %8s\n' mutation sweep unit fuzzer arm_module_test bare_host_tests first |
  tee -a "$work/results.txt"
build || { echo "mutation_check: the unpatched tree does not build (see $work/build.log)" >&2; exit 2; }
run_suites "(none)"
stale=0
for m in "${mutations[@]}"; do
  # A patch that no longer applies tests nothing: say so, and fail at the end.
  patch -s -p1 -d "$src" <"$root/bench/mutations/$m.patch" ||
    { echo "mutation_check: $m does not apply: renew it against the current source" | tee -a "$work/results.txt" >&2; stale=1; continue; }
  applied=$m
  if is_windows_patch "$m"; then
    if ! command -v wine64 >/dev/null && [ ! -x /usr/lib/wine/wine64 ]; then
      echo "$m: needs 64-bit Wine" | tee -a "$work/results.txt"
    elif windows_build; then
      # The unpatched Windows build passes first, or its time means nothing.
      if [ -z "${windows_clean:-}" ]; then
        revert; windows_build && run_windows "(none)"; windows_clean=1
        patch -s -p1 -d "$src" <"$root/bench/mutations/$m.patch"; applied=$m; windows_build
      fi
      run_windows "$m"
    else
      echo "$m: does not build for Windows (see $work/build.log)" | tee -a "$work/results.txt"
    fi
  elif build; then run_suites "$m"; else echo "$m: does not build (see $work/build.log)" | tee -a "$work/results.txt"; fi
  revert
done
echo "logs: $work/runs/; table: $work/results.txt"
exit $stale
