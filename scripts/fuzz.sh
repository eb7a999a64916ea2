#!/usr/bin/env bash
# Builds the exports fuzzer (clang-14, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it for SECONDS seconds (default 60) on
# one core; further arguments go to libFuzzer (e.g. -jobs=4 -workers=4). Exits non-zero on any finding: a sanitizer report, a broken
# invariant, a hang (an input running longer than 25 s) or running out of
# memory. The input that caused it is saved in build/fuzz/findings/; replay it
# with `build/fuzz/bin/export_fuzzer FILE` (DIORX_FUZZ_TRACE=1 lists its calls).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift $(( $# > 0 ? 1 : 0 ))
root=$PWD
build=$root/build/fuzz

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDIORX_FUZZ=ON -DDIORX_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target export_fuzzer Weavemill -j "$(nproc)"

# The working corpus grows from run to run in the build tree; the seeds in
# fuzz/corpus/ are read but never written.
mkdir -p "$build/corpus" "$build/findings"
exec "$build/bin/export_fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=25 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$build/findings/" "$@" "$build/corpus" "$root/fuzz/corpus"
