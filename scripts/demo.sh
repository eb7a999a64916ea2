#!/usr/bin/env bash
# Builds everything natively and runs a debug session of the sample firmware
# through the module, in the simulated Cortex-M.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DDIORX_BENCHMARKS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target orxdbg diORX Weavemill firmware >/dev/null
exec build/demo/bin/orxdbg --demo "$@"
