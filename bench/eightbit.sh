#!/usr/bin/env bash
# The 8-bit boards, measured (not run by CI; nothing is asserted):
#   8051: a continue from a breakpoint to the same breakpoint through the
#         module, against the s51 console's round trip (goal: within 2.5x),
#         and DiExecStop of a free run;
#   Z80:  DiExecStop of a free run (goal: 5 ms at most), and instructions per
#         second in the sample program's counting loop through orxdbg
#         (goal: 20 M/s at least).
# Prints one table.
#
# usage: bench/eightbit.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
cmake --build "$build" --target orxdbg diorx_eightbit_bench firmware_8bit -j2 >/dev/null
echo "| what | value |"
echo "|---|---|"
"$build/bin/diorx_eightbit_bench" "$build/firmware/z80.ihx" "$build/firmware/mcs51.ihx"
python3 bench/eightbit_ips.py "$build/bin/orxdbg" "$build/firmware/z80.ihx"
