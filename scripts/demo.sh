#!/usr/bin/env bash
# Builds everything natively and runs a debug session of the sample firmware
# through the module, in the simulated Cortex-M.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The build shows its progress, and any error stops the script with it.
echo "== building the module, the simulated host, orxdbg and the firmware in build/demo"
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DDIORX_BENCHMARKS=OFF
cmake --build build/demo -j "$(nproc)" --target orxdbg diORX Weavemill firmware
echo "== orxdbg --demo"
exec build/demo/bin/orxdbg --demo "$@"
