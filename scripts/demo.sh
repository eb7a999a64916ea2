#!/usr/bin/env bash
# Builds everything natively and runs a debug session of the sample firmware
# through the module, in the simulated Cortex-M.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The build shows its progress, and any error stops the script with it.
# The same build directory and build type as scripts/test.sh and every
# command of the README.
echo "== building the module, the simulated host, orxdbg and the firmware in build/native"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/native -j "$(nproc)" --target orxdbg diORX Weavemill firmware
echo "== orxdbg --demo"
exec build/native/bin/orxdbg --demo "$@"
